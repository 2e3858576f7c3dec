// A scratch gateway root for in-process fuzzing: one temporary tree per
// fuzzer process, named in DORNIX_ROOT, removed when the process ends.
#ifndef DORNIX_FUZZ_FUZZ_ROOT_H
#define DORNIX_FUZZ_FUZZ_ROOT_H

#include <stddef.h>

#include <string>

namespace fuzzroot {

// Creates the tree (var/tmp, var/log, dev/mtdblock, dev/led) and sets
// DORNIX_ROOT. Called once, from LLVMFuzzerInitialize.
void Create();

// Absolute path of a gateway path under the root.
std::string Path(const char *gatewayPath);

void Write(const char *gatewayPath, const void *data, size_t n);
void Write(const char *gatewayPath, const std::string &data);
std::string Read(const char *gatewayPath);
bool Exists(const char *gatewayPath);

// Stops the run with a message: libFuzzer keeps the input that did it.
[[noreturn]] void Fail(const char *what);

}  // namespace fuzzroot

#endif
