// The UI Automation client interfaces the Windows backend calls, which mingw-w64's headers lack.
//
// A COM interface is its method order: every interface below lists all of its methods, in the
// order of Wine's include/uiautomationclient.idl (wine-mirror/wine, commit
// 01fb2a26d2649666d3879a223a2cf2b779898cfd), with the identifiers given there. Methods the watcher
// never calls keep their slot; parameters of types it never touches are declared as void*.
#pragma once

#include <windows.h>
#include <oaidl.h>
#include <objbase.h>
#include <oleauto.h>
#include <unknwn.h>

namespace sw::platform::uia::com {

using PROPERTYID = int;
using PATTERNID = int;
using EVENTID = int;
using CONTROLTYPEID = int;

enum TreeScope : int {
    TreeScope_Element = 0x01,
    TreeScope_Children = 0x02,
    TreeScope_Descendants = 0x04,
    TreeScope_Subtree = TreeScope_Element | TreeScope_Children | TreeScope_Descendants,
};

inline constexpr PATTERNID UIA_TextPatternId = 10014;
inline constexpr EVENTID UIA_Text_TextSelectionChangedEventId = 20014;
inline constexpr PROPERTYID UIA_ProcessIdPropertyId = 30002;
inline constexpr PROPERTYID UIA_ControlTypePropertyId = 30003;
inline constexpr CONTROLTYPEID UIA_EditControlTypeId = 50004;
inline constexpr CONTROLTYPEID UIA_DocumentControlTypeId = 50030;
inline constexpr CONTROLTYPEID UIA_WindowControlTypeId = 50032;

// From uiautomationcoreapi.h: what a provider that is gone, or too slow, answers.
inline constexpr HRESULT UIA_E_ELEMENTNOTAVAILABLE = static_cast<HRESULT>(0x80040201);
inline constexpr HRESULT UIA_E_NOTSUPPORTED = static_cast<HRESULT>(0x80040204);
inline constexpr HRESULT UIA_E_TIMEOUT = static_cast<HRESULT>(0x80131505);

inline constexpr GUID CLSID_CUIAutomation = {
    0xff48dba4, 0x60ef, 0x4201, {0xaa, 0x87, 0x54, 0x10, 0x3e, 0xef, 0x59, 0x4e}};
inline constexpr GUID CLSID_CUIAutomation8 = {
    0xe22ad333, 0xb25f, 0x460c, {0x83, 0xd0, 0x05, 0x81, 0x10, 0x73, 0x95, 0xc9}};
inline constexpr GUID IID_IUIAutomation = {
    0x30cbe57d, 0xd9d0, 0x452a, {0xab, 0x13, 0x7a, 0xc5, 0xac, 0x48, 0x25, 0xee}};
inline constexpr GUID IID_IUIAutomation2 = {
    0x34723aff, 0x0c9d, 0x49d0, {0x98, 0x96, 0x7a, 0xb5, 0x2d, 0xf8, 0xcd, 0x8a}};
inline constexpr GUID IID_IUIAutomationTextPattern = {
    0x32eba289, 0x3583, 0x42c9, {0x9c, 0x59, 0x3b, 0x6d, 0x9a, 0x1e, 0x9b, 0x6a}};
inline constexpr GUID IID_IUIAutomationEventHandler = {
    0x146c3c17, 0xf12e, 0x4e22, {0x8c, 0x27, 0xf8, 0x94, 0xb9, 0xb7, 0x9c, 0x69}};
inline constexpr GUID IID_IUIAutomationFocusChangedEventHandler = {
    0xc270f6b5, 0x5c69, 0x4290, {0x97, 0x45, 0x7a, 0x7f, 0x97, 0x16, 0x94, 0x68}};

struct IUIAutomationElement;
struct IUIAutomationElementArray;
struct IUIAutomationTextRange;

struct IUIAutomationCondition : IUnknown {};

struct IUIAutomationCacheRequest : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE AddProperty(PROPERTYID propertyId) = 0;
    virtual HRESULT STDMETHODCALLTYPE AddPattern(PATTERNID patternId) = 0;
    virtual HRESULT STDMETHODCALLTYPE Clone(IUIAutomationCacheRequest** clonedRequest) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_TreeScope(TreeScope* scope) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_TreeScope(TreeScope scope) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_TreeFilter(IUIAutomationCondition** filter) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_TreeFilter(IUIAutomationCondition* filter) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_AutomationElementMode(int* mode) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_AutomationElementMode(int mode) = 0;
};

struct IUIAutomationTreeWalker : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetParentElement(IUIAutomationElement* element,
                                                       IUIAutomationElement** parent) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetFirstChildElement(IUIAutomationElement* element,
                                                           IUIAutomationElement** first) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetLastChildElement(IUIAutomationElement* element,
                                                          IUIAutomationElement** last) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetNextSiblingElement(IUIAutomationElement* element,
                                                            IUIAutomationElement** next) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetPreviousSiblingElement(IUIAutomationElement* element,
                                                                IUIAutomationElement** previous) = 0;
    virtual HRESULT STDMETHODCALLTYPE NormalizeElement(IUIAutomationElement* element,
                                                       IUIAutomationElement** normalized) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetParentElementBuildCache(
        IUIAutomationElement* element, IUIAutomationCacheRequest* cacheRequest,
        IUIAutomationElement** parent) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetFirstChildElementBuildCache(
        IUIAutomationElement* element, IUIAutomationCacheRequest* cacheRequest,
        IUIAutomationElement** first) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetLastChildElementBuildCache(
        IUIAutomationElement* element, IUIAutomationCacheRequest* cacheRequest,
        IUIAutomationElement** last) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetNextSiblingElementBuildCache(
        IUIAutomationElement* element, IUIAutomationCacheRequest* cacheRequest,
        IUIAutomationElement** next) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetPreviousSiblingElementBuildCache(
        IUIAutomationElement* element, IUIAutomationCacheRequest* cacheRequest,
        IUIAutomationElement** previous) = 0;
    virtual HRESULT STDMETHODCALLTYPE NormalizeElementBuildCache(
        IUIAutomationElement* element, IUIAutomationCacheRequest* cacheRequest,
        IUIAutomationElement** normalized) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Condition(IUIAutomationCondition** condition) = 0;
};

struct IUIAutomationEventHandler : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE HandleAutomationEvent(IUIAutomationElement* sender,
                                                            EVENTID eventId) = 0;
};

struct IUIAutomationFocusChangedEventHandler : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE HandleFocusChangedEvent(IUIAutomationElement* sender) = 0;
};

struct IUIAutomationTextRange : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Clone(IUIAutomationTextRange** clonedRange) = 0;
    virtual HRESULT STDMETHODCALLTYPE Compare(IUIAutomationTextRange* range, BOOL* areSame) = 0;
    virtual HRESULT STDMETHODCALLTYPE CompareEndpoints(int srcEndPoint, IUIAutomationTextRange* range,
                                                       int targetEndPoint, int* compValue) = 0;
    virtual HRESULT STDMETHODCALLTYPE ExpandToEnclosingUnit(int textUnit) = 0;
    virtual HRESULT STDMETHODCALLTYPE FindAttribute(int attr, VARIANT val, BOOL backward,
                                                    IUIAutomationTextRange** found) = 0;
    virtual HRESULT STDMETHODCALLTYPE FindText(BSTR text, BOOL backward, BOOL ignoreCase,
                                               IUIAutomationTextRange** found) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetAttributeValue(int attr, VARIANT* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetBoundingRectangles(SAFEARRAY** boundingRects) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetEnclosingElement(IUIAutomationElement** enclosingElement) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetText(int maxLength, BSTR* text) = 0;
    virtual HRESULT STDMETHODCALLTYPE Move(int unit, int count, int* moved) = 0;
    virtual HRESULT STDMETHODCALLTYPE MoveEndpointByUnit(int endpoint, int unit, int count,
                                                         int* moved) = 0;
    virtual HRESULT STDMETHODCALLTYPE MoveEndpointByRange(int srcEndPoint,
                                                          IUIAutomationTextRange* range,
                                                          int targetEndPoint) = 0;
    virtual HRESULT STDMETHODCALLTYPE Select() = 0;
    virtual HRESULT STDMETHODCALLTYPE AddToSelection() = 0;
    virtual HRESULT STDMETHODCALLTYPE RemoveFromSelection() = 0;
    virtual HRESULT STDMETHODCALLTYPE ScrollIntoView(BOOL alignToTop) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetChildren(IUIAutomationElementArray** children) = 0;
};

struct IUIAutomationTextRangeArray : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE get_Length(int* length) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetElement(int index, IUIAutomationTextRange** element) = 0;
};

struct IUIAutomationTextPattern : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE RangeFromPoint(POINT pt, IUIAutomationTextRange** range) = 0;
    virtual HRESULT STDMETHODCALLTYPE RangeFromChild(IUIAutomationElement* child,
                                                     IUIAutomationTextRange** range) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetSelection(IUIAutomationTextRangeArray** ranges) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetVisibleRanges(IUIAutomationTextRangeArray** ranges) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_DocumentRange(IUIAutomationTextRange** range) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_SupportedTextSelection(int* supportedTextSelection) = 0;
};

struct IUIAutomationElement : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE SetFocus() = 0;
    virtual HRESULT STDMETHODCALLTYPE GetRuntimeId(SAFEARRAY** runtimeId) = 0;
    virtual HRESULT STDMETHODCALLTYPE FindFirst(TreeScope scope, IUIAutomationCondition* condition,
                                                IUIAutomationElement** found) = 0;
    virtual HRESULT STDMETHODCALLTYPE FindAll(TreeScope scope, IUIAutomationCondition* condition,
                                              IUIAutomationElementArray** found) = 0;
    virtual HRESULT STDMETHODCALLTYPE FindFirstBuildCache(TreeScope scope,
                                                          IUIAutomationCondition* condition,
                                                          IUIAutomationCacheRequest* cacheRequest,
                                                          IUIAutomationElement** found) = 0;
    virtual HRESULT STDMETHODCALLTYPE FindAllBuildCache(TreeScope scope,
                                                        IUIAutomationCondition* condition,
                                                        IUIAutomationCacheRequest* cacheRequest,
                                                        IUIAutomationElementArray** found) = 0;
    virtual HRESULT STDMETHODCALLTYPE BuildUpdatedCache(IUIAutomationCacheRequest* cacheRequest,
                                                        IUIAutomationElement** updatedElement) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetCurrentPropertyValue(PROPERTYID propertyId,
                                                              VARIANT* retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetCurrentPropertyValueEx(PROPERTYID propertyId,
                                                                BOOL ignoreDefaultValue,
                                                                VARIANT* retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetCachedPropertyValue(PROPERTYID propertyId,
                                                             VARIANT* retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetCachedPropertyValueEx(PROPERTYID propertyId,
                                                               BOOL ignoreDefaultValue,
                                                               VARIANT* retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetCurrentPatternAs(PATTERNID patternId, REFIID riid,
                                                          void** patternObject) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetCachedPatternAs(PATTERNID patternId, REFIID riid,
                                                         void** patternObject) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetCurrentPattern(PATTERNID patternId,
                                                        IUnknown** patternObject) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetCachedPattern(PATTERNID patternId,
                                                       IUnknown** patternObject) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetCachedParent(IUIAutomationElement** parent) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetCachedChildren(IUIAutomationElementArray** children) = 0;
    // The properties, first as they are now, then as cached, each group in this order.
    virtual HRESULT STDMETHODCALLTYPE get_CurrentProcessId(int* retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CurrentControlType(CONTROLTYPEID* retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CurrentLocalizedControlType(BSTR* retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CurrentName(BSTR* retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CurrentAcceleratorKey(BSTR* retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CurrentAccessKey(BSTR* retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CurrentHasKeyboardFocus(BOOL* retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CurrentIsKeyboardFocusable(BOOL* retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CurrentIsEnabled(BOOL* retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CurrentAutomationId(BSTR* retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CurrentClassName(BSTR* retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CurrentHelpText(BSTR* retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CurrentCulture(int* retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CurrentIsControlElement(BOOL* retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CurrentIsContentElement(BOOL* retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CurrentIsPassword(BOOL* retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CurrentNativeWindowHandle(void** retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CurrentItemType(BSTR* retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CurrentIsOffscreen(BOOL* retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CurrentOrientation(int* retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CurrentFrameworkId(BSTR* retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CurrentIsRequiredForForm(BOOL* retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CurrentItemStatus(BSTR* retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CurrentBoundingRectangle(RECT* retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CurrentLabeledBy(IUIAutomationElement** retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CurrentAriaRole(BSTR* retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CurrentAriaProperties(BSTR* retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CurrentIsDataValidForForm(BOOL* retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CurrentControllerFor(IUIAutomationElementArray** retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CurrentDescribedBy(IUIAutomationElementArray** retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CurrentFlowsTo(IUIAutomationElementArray** retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CurrentProviderDescription(BSTR* retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CachedProcessId(int* retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CachedControlType(CONTROLTYPEID* retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CachedLocalizedControlType(BSTR* retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CachedName(BSTR* retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CachedAcceleratorKey(BSTR* retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CachedAccessKey(BSTR* retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CachedHasKeyboardFocus(BOOL* retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CachedIsKeyboardFocusable(BOOL* retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CachedIsEnabled(BOOL* retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CachedAutomationId(BSTR* retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CachedClassName(BSTR* retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CachedHelpText(BSTR* retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CachedCulture(int* retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CachedIsControlElement(BOOL* retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CachedIsContentElement(BOOL* retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CachedIsPassword(BOOL* retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CachedNativeWindowHandle(void** retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CachedItemType(BSTR* retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CachedIsOffscreen(BOOL* retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CachedOrientation(int* retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CachedFrameworkId(BSTR* retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CachedIsRequiredForForm(BOOL* retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CachedItemStatus(BSTR* retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CachedBoundingRectangle(RECT* retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CachedLabeledBy(IUIAutomationElement** retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CachedAriaRole(BSTR* retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CachedAriaProperties(BSTR* retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CachedIsDataValidForForm(BOOL* retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CachedControllerFor(IUIAutomationElementArray** retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CachedDescribedBy(IUIAutomationElementArray** retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CachedFlowsTo(IUIAutomationElementArray** retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CachedProviderDescription(BSTR* retVal) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetClickablePoint(POINT* clickable, BOOL* gotClickable) = 0;
};

struct IUIAutomationElementArray : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE get_Length(int* length) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetElement(int index, IUIAutomationElement** element) = 0;
};

struct IUIAutomation : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE CompareElements(IUIAutomationElement* el1,
                                                      IUIAutomationElement* el2, BOOL* areSame) = 0;
    virtual HRESULT STDMETHODCALLTYPE CompareRuntimeIds(SAFEARRAY* runtimeId1, SAFEARRAY* runtimeId2,
                                                        BOOL* areSame) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetRootElement(IUIAutomationElement** root) = 0;
    virtual HRESULT STDMETHODCALLTYPE ElementFromHandle(void* hwnd,
                                                        IUIAutomationElement** element) = 0;
    virtual HRESULT STDMETHODCALLTYPE ElementFromPoint(POINT pt, IUIAutomationElement** element) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetFocusedElement(IUIAutomationElement** element) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetRootElementBuildCache(IUIAutomationCacheRequest* cacheRequest,
                                                               IUIAutomationElement** root) = 0;
    virtual HRESULT STDMETHODCALLTYPE ElementFromHandleBuildCache(
        void* hwnd, IUIAutomationCacheRequest* cacheRequest, IUIAutomationElement** element) = 0;
    virtual HRESULT STDMETHODCALLTYPE ElementFromPointBuildCache(
        POINT pt, IUIAutomationCacheRequest* cacheRequest, IUIAutomationElement** element) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetFocusedElementBuildCache(
        IUIAutomationCacheRequest* cacheRequest, IUIAutomationElement** element) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateTreeWalker(IUIAutomationCondition* pCondition,
                                                       IUIAutomationTreeWalker** walker) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ControlViewWalker(IUIAutomationTreeWalker** walker) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ContentViewWalker(IUIAutomationTreeWalker** walker) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_RawViewWalker(IUIAutomationTreeWalker** walker) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_RawViewCondition(IUIAutomationCondition** condition) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ControlViewCondition(IUIAutomationCondition** condition) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ContentViewCondition(IUIAutomationCondition** condition) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateCacheRequest(IUIAutomationCacheRequest** cacheRequest) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateTrueCondition(IUIAutomationCondition** newCondition) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateFalseCondition(IUIAutomationCondition** newCondition) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreatePropertyCondition(PROPERTYID propertyId, VARIANT value,
                                                              IUIAutomationCondition** newCondition) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreatePropertyConditionEx(
        PROPERTYID propertyId, VARIANT value, int flags, IUIAutomationCondition** newCondition) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateAndCondition(IUIAutomationCondition* condition1,
                                                         IUIAutomationCondition* condition2,
                                                         IUIAutomationCondition** newCondition) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateAndConditionFromArray(
        SAFEARRAY* conditions, IUIAutomationCondition** newCondition) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateAndConditionFromNativeArray(
        IUIAutomationCondition** conditions, int conditionCount,
        IUIAutomationCondition** newCondition) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateOrCondition(IUIAutomationCondition* condition1,
                                                        IUIAutomationCondition* condition2,
                                                        IUIAutomationCondition** newCondition) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateOrConditionFromArray(
        SAFEARRAY* conditions, IUIAutomationCondition** newCondition) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateOrConditionFromNativeArray(
        IUIAutomationCondition** conditions, int conditionCount,
        IUIAutomationCondition** newCondition) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateNotCondition(IUIAutomationCondition* condition,
                                                         IUIAutomationCondition** newCondition) = 0;
    virtual HRESULT STDMETHODCALLTYPE AddAutomationEventHandler(
        EVENTID eventId, IUIAutomationElement* element, TreeScope scope,
        IUIAutomationCacheRequest* cacheRequest, IUIAutomationEventHandler* handler) = 0;
    virtual HRESULT STDMETHODCALLTYPE RemoveAutomationEventHandler(
        EVENTID eventId, IUIAutomationElement* element, IUIAutomationEventHandler* handler) = 0;
    virtual HRESULT STDMETHODCALLTYPE AddPropertyChangedEventHandlerNativeArray(
        IUIAutomationElement* element, TreeScope scope, IUIAutomationCacheRequest* cacheRequest,
        void* handler, PROPERTYID* propertyArray, int propertyCount) = 0;
    virtual HRESULT STDMETHODCALLTYPE AddPropertyChangedEventHandler(
        IUIAutomationElement* element, TreeScope scope, IUIAutomationCacheRequest* cacheRequest,
        void* handler, SAFEARRAY* propertyArray) = 0;
    virtual HRESULT STDMETHODCALLTYPE RemovePropertyChangedEventHandler(IUIAutomationElement* element,
                                                                        void* handler) = 0;
    virtual HRESULT STDMETHODCALLTYPE AddStructureChangedEventHandler(
        IUIAutomationElement* element, TreeScope scope, IUIAutomationCacheRequest* cacheRequest,
        void* handler) = 0;
    virtual HRESULT STDMETHODCALLTYPE RemoveStructureChangedEventHandler(
        IUIAutomationElement* element, void* handler) = 0;
    virtual HRESULT STDMETHODCALLTYPE AddFocusChangedEventHandler(
        IUIAutomationCacheRequest* cacheRequest, IUIAutomationFocusChangedEventHandler* handler) = 0;
    virtual HRESULT STDMETHODCALLTYPE RemoveFocusChangedEventHandler(
        IUIAutomationFocusChangedEventHandler* handler) = 0;
    virtual HRESULT STDMETHODCALLTYPE RemoveAllEventHandlers() = 0;
    virtual HRESULT STDMETHODCALLTYPE IntNativeArrayToSafeArray(int* array, int arrayCount,
                                                                SAFEARRAY** safeArray) = 0;
    virtual HRESULT STDMETHODCALLTYPE IntSafeArrayToNativeArray(SAFEARRAY* intArray, int** array,
                                                                int* arrayCount) = 0;
    virtual HRESULT STDMETHODCALLTYPE RectToVariant(RECT rc, VARIANT* var) = 0;
    virtual HRESULT STDMETHODCALLTYPE VariantToRect(VARIANT var, RECT* rc) = 0;
    virtual HRESULT STDMETHODCALLTYPE SafeArrayToRectNativeArray(SAFEARRAY* rects, RECT** rectArray,
                                                                 int* rectArrayCount) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateProxyFactoryEntry(void* factory, void** factoryEntry) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ProxyFactoryMapping(void** factoryMapping) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetPropertyProgrammaticName(PROPERTYID property, BSTR* name) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetPatternProgrammaticName(PATTERNID pattern, BSTR* name) = 0;
    virtual HRESULT STDMETHODCALLTYPE PollForPotentialSupportedPatterns(IUIAutomationElement* pElement,
                                                                        SAFEARRAY** patternIds,
                                                                        SAFEARRAY** patternNames) = 0;
    virtual HRESULT STDMETHODCALLTYPE PollForPotentialSupportedProperties(
        IUIAutomationElement* pElement, SAFEARRAY** propertyIds, SAFEARRAY** propertyNames) = 0;
    virtual HRESULT STDMETHODCALLTYPE CheckNotSupported(VARIANT value, BOOL* isNotSupported) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ReservedNotSupportedValue(IUnknown** notSupportedValue) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ReservedMixedAttributeValue(IUnknown** mixedAttributeValue) = 0;
    virtual HRESULT STDMETHODCALLTYPE ElementFromIAccessible(void* accessible, int childId,
                                                             IUIAutomationElement** element) = 0;
    virtual HRESULT STDMETHODCALLTYPE ElementFromIAccessibleBuildCache(
        void* accessible, int childId, IUIAutomationCacheRequest* cacheRequest,
        IUIAutomationElement** element) = 0;
};

struct IUIAutomation2 : IUIAutomation {
    virtual HRESULT STDMETHODCALLTYPE get_AutoSetFocus(BOOL* autoSetFocus) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_AutoSetFocus(BOOL autoSetFocus) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ConnectionTimeout(DWORD* timeout) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_ConnectionTimeout(DWORD timeout) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_TransactionTimeout(DWORD* timeout) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_TransactionTimeout(DWORD timeout) = 0;
};

}  // namespace sw::platform::uia::com
