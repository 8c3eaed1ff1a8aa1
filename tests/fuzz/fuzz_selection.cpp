// Coverage-guided fuzzing (libFuzzer) of the watcher on the simulated desktop: each input is a
// program for the desktop (tests/program.h), with every rule checked after each operation.
// Reproduce a finding with `fuzz_selection FILE`; SW_FUZZ_TRACE=1 prints each operation.
#include "tests/program.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    sw::test::initPrograms();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    sw::test::runProgram(data, size);
    return 0;
}
