// Runs a fuzz target without the fuzzing engine: on the files named on the
// command line, then on a fixed set of pseudo-random inputs, so that the
// ordinary and sanitizer builds exercise every target on every run.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

#ifndef QEL_REPLAY_RUNS
#define QEL_REPLAY_RUNS 2000
#endif

int main(int argc, char **argv)
{
    // What the code under test prints is of no interest here, only that it
    // neither crashes nor trips a sanitizer.
    if (!std::freopen("/dev/null", "w", stdout))
        return 1;
    for (int i = 1; i < argc; ++i) {
        std::ifstream f(argv[i], std::ios::binary);
        const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(f)),
                                         std::istreambuf_iterator<char>());
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    uint32_t state = 12345;
    const auto next = [&state] {
        state = state * 1103515245u + 12345u;
        return state >> 16;
    };
    unsigned runs = 0;
    for (; runs < QEL_REPLAY_RUNS; ++runs) {
        std::vector<uint8_t> bytes(next() % 700);
        for (auto &b : bytes) {
            // Mostly small values, so that tags, types and lengths are often valid.
            const uint32_t r = next();
            b = uint8_t(r % 4 == 0 ? r >> 3 : (r >> 3) % 70);
        }
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    std::fprintf(stderr, "replayed %d files and %u generated inputs\n", argc - 1, runs);
    return 0;
}
