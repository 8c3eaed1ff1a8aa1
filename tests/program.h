// Bytes read as a program for the simulated desktop, run against the watcher's core with every rule
// of its output and its objects checked after each operation. The fuzz target runs arbitrary
// programs; the soak test runs one very long one. A broken rule aborts with a message on the real
// standard error (SW_FUZZ_TRACE=1 also prints every operation and what it wrote).
#pragma once

#include <cstddef>
#include <cstdint>

namespace sw::test {

class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool done() const { return pos_ >= size_; }
    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    template <typename T>
    T raw() {
        T value{};
        for (std::size_t i = 0; i < sizeof value; ++i) reinterpret_cast<std::uint8_t*>(&value)[i] = byte();
        return value;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_, pos_ = 0;
};

// The first byte of an operation picks one of these (modulo their count).
enum Op : std::uint8_t { kActivate, kFront, kCreate, kRegister, kFocus, kText, kRange, kBounds,
                         kNotify, kRun, kSecondRead, kSelect, kSettle, kOpCount };

struct Figures {
    long operations = 0, lines = 0, present = 0, diagnostics = 0, settled = 0, mostAlive = 0;
};

void initPrograms();  // once per process
void beginProgram();  // a fresh desktop and watcher state, descriptors 1 and 2 captured
void runOperation(Reader& in);
Figures endProgram();  // the last run, then teardown: nothing may stay alive
void runProgram(const std::uint8_t* data, std::size_t size);

}  // namespace sw::test
