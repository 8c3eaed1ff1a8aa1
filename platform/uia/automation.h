// The UI Automation client interfaces the Windows backend calls, which mingw-w64's headers lack.
//
// A COM interface is its method order: every interface below lists all of its methods, in the
// order of Wine's include/uiautomationclient.idl (wine-mirror/wine, commit
// 01fb2a26d2649666d3879a223a2cf2b779898cfd), with the identifiers given there. Methods the watcher
// never calls keep their slot; parameters of types it never touches are declared as void*. The
// client's interfaces answer E_NOTIMPL for any method an implementation leaves out, so that a
// stand-in for UI Automation (the tests') implements only what the watcher calls; the system's
// objects bring their own.
#pragma once

#include <windows.h>
#include <oaidl.h>
#include <objbase.h>
#include <oleauto.h>
#include <unknwn.h>

#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-parameter"
#endif
#define NOTIMPL \
    { return E_NOTIMPL; }

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
    virtual HRESULT STDMETHODCALLTYPE AddProperty(PROPERTYID propertyId) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE AddPattern(PATTERNID patternId) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE Clone(IUIAutomationCacheRequest** clonedRequest) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE get_TreeScope(TreeScope* scope) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE put_TreeScope(TreeScope scope) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE get_TreeFilter(IUIAutomationCondition** filter) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE put_TreeFilter(IUIAutomationCondition* filter) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE get_AutomationElementMode(int* mode) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE put_AutomationElementMode(int mode) NOTIMPL
};

struct IUIAutomationTreeWalker : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetParentElement(IUIAutomationElement* element,
                                                       IUIAutomationElement** parent) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE GetFirstChildElement(IUIAutomationElement* element,
                                                           IUIAutomationElement** first) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE GetLastChildElement(IUIAutomationElement* element,
                                                          IUIAutomationElement** last) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE GetNextSiblingElement(IUIAutomationElement* element,
                                                            IUIAutomationElement** next) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE GetPreviousSiblingElement(IUIAutomationElement* element,
                                                                IUIAutomationElement** previous) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE NormalizeElement(IUIAutomationElement* element,
                                                       IUIAutomationElement** normalized) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE GetParentElementBuildCache(
        IUIAutomationElement* element, IUIAutomationCacheRequest* cacheRequest,
        IUIAutomationElement** parent) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE GetFirstChildElementBuildCache(
        IUIAutomationElement* element, IUIAutomationCacheRequest* cacheRequest,
        IUIAutomationElement** first) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE GetLastChildElementBuildCache(
        IUIAutomationElement* element, IUIAutomationCacheRequest* cacheRequest,
        IUIAutomationElement** last) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE GetNextSiblingElementBuildCache(
        IUIAutomationElement* element, IUIAutomationCacheRequest* cacheRequest,
        IUIAutomationElement** next) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE GetPreviousSiblingElementBuildCache(
        IUIAutomationElement* element, IUIAutomationCacheRequest* cacheRequest,
        IUIAutomationElement** previous) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE NormalizeElementBuildCache(
        IUIAutomationElement* element, IUIAutomationCacheRequest* cacheRequest,
        IUIAutomationElement** normalized) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE get_Condition(IUIAutomationCondition** condition) NOTIMPL
};

struct IUIAutomationEventHandler : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE HandleAutomationEvent(IUIAutomationElement* sender,
                                                            EVENTID eventId) = 0;
};

struct IUIAutomationFocusChangedEventHandler : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE HandleFocusChangedEvent(IUIAutomationElement* sender) = 0;
};

struct IUIAutomationTextRange : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Clone(IUIAutomationTextRange** clonedRange) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE Compare(IUIAutomationTextRange* range, BOOL* areSame) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE CompareEndpoints(int srcEndPoint, IUIAutomationTextRange* range,
                                                       int targetEndPoint, int* compValue) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE ExpandToEnclosingUnit(int textUnit) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE FindAttribute(int attr, VARIANT val, BOOL backward,
                                                    IUIAutomationTextRange** found) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE FindText(BSTR text, BOOL backward, BOOL ignoreCase,
                                               IUIAutomationTextRange** found) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE GetAttributeValue(int attr, VARIANT* value) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE GetBoundingRectangles(SAFEARRAY** boundingRects) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE GetEnclosingElement(IUIAutomationElement** enclosingElement) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE GetText(int maxLength, BSTR* text) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE Move(int unit, int count, int* moved) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE MoveEndpointByUnit(int endpoint, int unit, int count,
                                                         int* moved) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE MoveEndpointByRange(int srcEndPoint,
                                                          IUIAutomationTextRange* range,
                                                          int targetEndPoint) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE Select() NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE AddToSelection() NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE RemoveFromSelection() NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE ScrollIntoView(BOOL alignToTop) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE GetChildren(IUIAutomationElementArray** children) NOTIMPL
};

struct IUIAutomationTextRangeArray : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE get_Length(int* length) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE GetElement(int index, IUIAutomationTextRange** element) NOTIMPL
};

struct IUIAutomationTextPattern : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE RangeFromPoint(POINT pt, IUIAutomationTextRange** range) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE RangeFromChild(IUIAutomationElement* child,
                                                     IUIAutomationTextRange** range) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE GetSelection(IUIAutomationTextRangeArray** ranges) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE GetVisibleRanges(IUIAutomationTextRangeArray** ranges) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE get_DocumentRange(IUIAutomationTextRange** range) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE get_SupportedTextSelection(int* supportedTextSelection) NOTIMPL
};

struct IUIAutomationElement : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE SetFocus() NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE GetRuntimeId(SAFEARRAY** runtimeId) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE FindFirst(TreeScope scope, IUIAutomationCondition* condition,
                                                IUIAutomationElement** found) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE FindAll(TreeScope scope, IUIAutomationCondition* condition,
                                              IUIAutomationElementArray** found) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE FindFirstBuildCache(TreeScope scope,
                                                          IUIAutomationCondition* condition,
                                                          IUIAutomationCacheRequest* cacheRequest,
                                                          IUIAutomationElement** found) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE FindAllBuildCache(TreeScope scope,
                                                        IUIAutomationCondition* condition,
                                                        IUIAutomationCacheRequest* cacheRequest,
                                                        IUIAutomationElementArray** found) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE BuildUpdatedCache(IUIAutomationCacheRequest* cacheRequest,
                                                        IUIAutomationElement** updatedElement) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE GetCurrentPropertyValue(PROPERTYID propertyId,
                                                              VARIANT* retVal) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE GetCurrentPropertyValueEx(PROPERTYID propertyId,
                                                                BOOL ignoreDefaultValue,
                                                                VARIANT* retVal) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE GetCachedPropertyValue(PROPERTYID propertyId,
                                                             VARIANT* retVal) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE GetCachedPropertyValueEx(PROPERTYID propertyId,
                                                               BOOL ignoreDefaultValue,
                                                               VARIANT* retVal) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE GetCurrentPatternAs(PATTERNID patternId, REFIID riid,
                                                          void** patternObject) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE GetCachedPatternAs(PATTERNID patternId, REFIID riid,
                                                         void** patternObject) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE GetCurrentPattern(PATTERNID patternId,
                                                        IUnknown** patternObject) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE GetCachedPattern(PATTERNID patternId,
                                                       IUnknown** patternObject) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE GetCachedParent(IUIAutomationElement** parent) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE GetCachedChildren(IUIAutomationElementArray** children) NOTIMPL
    // The properties, first as they are now, then as cached, each group in this order.
    virtual HRESULT STDMETHODCALLTYPE get_CurrentProcessId(int* retVal) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE get_CurrentControlType(CONTROLTYPEID* retVal) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE get_CurrentLocalizedControlType(BSTR* retVal) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE get_CurrentName(BSTR* retVal) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE get_CurrentAcceleratorKey(BSTR* retVal) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE get_CurrentAccessKey(BSTR* retVal) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE get_CurrentHasKeyboardFocus(BOOL* retVal) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE get_CurrentIsKeyboardFocusable(BOOL* retVal) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE get_CurrentIsEnabled(BOOL* retVal) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE get_CurrentAutomationId(BSTR* retVal) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE get_CurrentClassName(BSTR* retVal) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE get_CurrentHelpText(BSTR* retVal) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE get_CurrentCulture(int* retVal) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE get_CurrentIsControlElement(BOOL* retVal) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE get_CurrentIsContentElement(BOOL* retVal) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE get_CurrentIsPassword(BOOL* retVal) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE get_CurrentNativeWindowHandle(void** retVal) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE get_CurrentItemType(BSTR* retVal) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE get_CurrentIsOffscreen(BOOL* retVal) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE get_CurrentOrientation(int* retVal) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE get_CurrentFrameworkId(BSTR* retVal) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE get_CurrentIsRequiredForForm(BOOL* retVal) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE get_CurrentItemStatus(BSTR* retVal) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE get_CurrentBoundingRectangle(RECT* retVal) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE get_CurrentLabeledBy(IUIAutomationElement** retVal) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE get_CurrentAriaRole(BSTR* retVal) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE get_CurrentAriaProperties(BSTR* retVal) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE get_CurrentIsDataValidForForm(BOOL* retVal) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE get_CurrentControllerFor(IUIAutomationElementArray** retVal) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE get_CurrentDescribedBy(IUIAutomationElementArray** retVal) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE get_CurrentFlowsTo(IUIAutomationElementArray** retVal) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE get_CurrentProviderDescription(BSTR* retVal) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE get_CachedProcessId(int* retVal) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE get_CachedControlType(CONTROLTYPEID* retVal) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE get_CachedLocalizedControlType(BSTR* retVal) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE get_CachedName(BSTR* retVal) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE get_CachedAcceleratorKey(BSTR* retVal) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE get_CachedAccessKey(BSTR* retVal) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE get_CachedHasKeyboardFocus(BOOL* retVal) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE get_CachedIsKeyboardFocusable(BOOL* retVal) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE get_CachedIsEnabled(BOOL* retVal) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE get_CachedAutomationId(BSTR* retVal) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE get_CachedClassName(BSTR* retVal) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE get_CachedHelpText(BSTR* retVal) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE get_CachedCulture(int* retVal) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE get_CachedIsControlElement(BOOL* retVal) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE get_CachedIsContentElement(BOOL* retVal) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE get_CachedIsPassword(BOOL* retVal) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE get_CachedNativeWindowHandle(void** retVal) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE get_CachedItemType(BSTR* retVal) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE get_CachedIsOffscreen(BOOL* retVal) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE get_CachedOrientation(int* retVal) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE get_CachedFrameworkId(BSTR* retVal) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE get_CachedIsRequiredForForm(BOOL* retVal) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE get_CachedItemStatus(BSTR* retVal) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE get_CachedBoundingRectangle(RECT* retVal) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE get_CachedLabeledBy(IUIAutomationElement** retVal) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE get_CachedAriaRole(BSTR* retVal) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE get_CachedAriaProperties(BSTR* retVal) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE get_CachedIsDataValidForForm(BOOL* retVal) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE get_CachedControllerFor(IUIAutomationElementArray** retVal) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE get_CachedDescribedBy(IUIAutomationElementArray** retVal) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE get_CachedFlowsTo(IUIAutomationElementArray** retVal) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE get_CachedProviderDescription(BSTR* retVal) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE GetClickablePoint(POINT* clickable, BOOL* gotClickable) NOTIMPL
};

struct IUIAutomationElementArray : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE get_Length(int* length) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE GetElement(int index, IUIAutomationElement** element) NOTIMPL
};

struct IUIAutomation : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE CompareElements(IUIAutomationElement* el1,
                                                      IUIAutomationElement* el2, BOOL* areSame) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE CompareRuntimeIds(SAFEARRAY* runtimeId1, SAFEARRAY* runtimeId2,
                                                        BOOL* areSame) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE GetRootElement(IUIAutomationElement** root) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE ElementFromHandle(void* hwnd,
                                                        IUIAutomationElement** element) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE ElementFromPoint(POINT pt, IUIAutomationElement** element) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE GetFocusedElement(IUIAutomationElement** element) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE GetRootElementBuildCache(IUIAutomationCacheRequest* cacheRequest,
                                                               IUIAutomationElement** root) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE ElementFromHandleBuildCache(
        void* hwnd, IUIAutomationCacheRequest* cacheRequest, IUIAutomationElement** element) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE ElementFromPointBuildCache(
        POINT pt, IUIAutomationCacheRequest* cacheRequest, IUIAutomationElement** element) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE GetFocusedElementBuildCache(
        IUIAutomationCacheRequest* cacheRequest, IUIAutomationElement** element) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE CreateTreeWalker(IUIAutomationCondition* pCondition,
                                                       IUIAutomationTreeWalker** walker) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE get_ControlViewWalker(IUIAutomationTreeWalker** walker) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE get_ContentViewWalker(IUIAutomationTreeWalker** walker) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE get_RawViewWalker(IUIAutomationTreeWalker** walker) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE get_RawViewCondition(IUIAutomationCondition** condition) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE get_ControlViewCondition(IUIAutomationCondition** condition) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE get_ContentViewCondition(IUIAutomationCondition** condition) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE CreateCacheRequest(IUIAutomationCacheRequest** cacheRequest) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE CreateTrueCondition(IUIAutomationCondition** newCondition) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE CreateFalseCondition(IUIAutomationCondition** newCondition) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE CreatePropertyCondition(PROPERTYID propertyId, VARIANT value,
                                                              IUIAutomationCondition** newCondition) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE CreatePropertyConditionEx(
        PROPERTYID propertyId, VARIANT value, int flags, IUIAutomationCondition** newCondition) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE CreateAndCondition(IUIAutomationCondition* condition1,
                                                         IUIAutomationCondition* condition2,
                                                         IUIAutomationCondition** newCondition) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE CreateAndConditionFromArray(
        SAFEARRAY* conditions, IUIAutomationCondition** newCondition) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE CreateAndConditionFromNativeArray(
        IUIAutomationCondition** conditions, int conditionCount,
        IUIAutomationCondition** newCondition) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE CreateOrCondition(IUIAutomationCondition* condition1,
                                                        IUIAutomationCondition* condition2,
                                                        IUIAutomationCondition** newCondition) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE CreateOrConditionFromArray(
        SAFEARRAY* conditions, IUIAutomationCondition** newCondition) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE CreateOrConditionFromNativeArray(
        IUIAutomationCondition** conditions, int conditionCount,
        IUIAutomationCondition** newCondition) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE CreateNotCondition(IUIAutomationCondition* condition,
                                                         IUIAutomationCondition** newCondition) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE AddAutomationEventHandler(
        EVENTID eventId, IUIAutomationElement* element, TreeScope scope,
        IUIAutomationCacheRequest* cacheRequest, IUIAutomationEventHandler* handler) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE RemoveAutomationEventHandler(
        EVENTID eventId, IUIAutomationElement* element, IUIAutomationEventHandler* handler) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE AddPropertyChangedEventHandlerNativeArray(
        IUIAutomationElement* element, TreeScope scope, IUIAutomationCacheRequest* cacheRequest,
        void* handler, PROPERTYID* propertyArray, int propertyCount) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE AddPropertyChangedEventHandler(
        IUIAutomationElement* element, TreeScope scope, IUIAutomationCacheRequest* cacheRequest,
        void* handler, SAFEARRAY* propertyArray) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE RemovePropertyChangedEventHandler(IUIAutomationElement* element,
                                                                        void* handler) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE AddStructureChangedEventHandler(
        IUIAutomationElement* element, TreeScope scope, IUIAutomationCacheRequest* cacheRequest,
        void* handler) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE RemoveStructureChangedEventHandler(
        IUIAutomationElement* element, void* handler) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE AddFocusChangedEventHandler(
        IUIAutomationCacheRequest* cacheRequest, IUIAutomationFocusChangedEventHandler* handler) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE RemoveFocusChangedEventHandler(
        IUIAutomationFocusChangedEventHandler* handler) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE RemoveAllEventHandlers() NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE IntNativeArrayToSafeArray(int* array, int arrayCount,
                                                                SAFEARRAY** safeArray) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE IntSafeArrayToNativeArray(SAFEARRAY* intArray, int** array,
                                                                int* arrayCount) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE RectToVariant(RECT rc, VARIANT* var) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE VariantToRect(VARIANT var, RECT* rc) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE SafeArrayToRectNativeArray(SAFEARRAY* rects, RECT** rectArray,
                                                                 int* rectArrayCount) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE CreateProxyFactoryEntry(void* factory, void** factoryEntry) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE get_ProxyFactoryMapping(void** factoryMapping) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE GetPropertyProgrammaticName(PROPERTYID property, BSTR* name) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE GetPatternProgrammaticName(PATTERNID pattern, BSTR* name) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE PollForPotentialSupportedPatterns(IUIAutomationElement* pElement,
                                                                        SAFEARRAY** patternIds,
                                                                        SAFEARRAY** patternNames) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE PollForPotentialSupportedProperties(
        IUIAutomationElement* pElement, SAFEARRAY** propertyIds, SAFEARRAY** propertyNames) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE CheckNotSupported(VARIANT value, BOOL* isNotSupported) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE get_ReservedNotSupportedValue(IUnknown** notSupportedValue) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE get_ReservedMixedAttributeValue(IUnknown** mixedAttributeValue) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE ElementFromIAccessible(void* accessible, int childId,
                                                             IUIAutomationElement** element) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE ElementFromIAccessibleBuildCache(
        void* accessible, int childId, IUIAutomationCacheRequest* cacheRequest,
        IUIAutomationElement** element) NOTIMPL
};

struct IUIAutomation2 : IUIAutomation {
    virtual HRESULT STDMETHODCALLTYPE get_AutoSetFocus(BOOL* autoSetFocus) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE put_AutoSetFocus(BOOL autoSetFocus) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE get_ConnectionTimeout(DWORD* timeout) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE put_ConnectionTimeout(DWORD timeout) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE get_TransactionTimeout(DWORD* timeout) NOTIMPL
    virtual HRESULT STDMETHODCALLTYPE put_TransactionTimeout(DWORD timeout) NOTIMPL
};

}  // namespace sw::platform::uia::com

#undef NOTIMPL
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
