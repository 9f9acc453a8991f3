// The recorder's start and stop as the records need them, for as long as the
// device layer builds without its recorder: a file with the header line, as
// the recorder writes it, and nothing more.
#include <cstdio>
#include <string>

#include "usrecorder.h"

struct us_trace_file {
    std::FILE *file;
};

us_trace_file *us_trace_start(const char *path, const char *program, const char *program_version,
                              std::string *error)
{
    std::FILE *f = std::fopen(path, "wb");
    if (!f) {
        *error = std::string(path) + " cannot be created.";
        return nullptr;
    }
    std::fprintf(f,
                 "{\"format\":\"qel-trace\",\"version\":1,\"program\":\"%s\",\"program_version\":\"%s\"}\n",
                 program, program_version);
    return new us_trace_file{f};
}

bool us_trace_stop(us_trace_file *file)
{
    if (!file)
        return true;
    const bool ok = std::fclose(file->file) == 0;
    delete file;
    return ok;
}
