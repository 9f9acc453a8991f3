// The image-file commands: info, check and extract. Each returns the exit code.
#ifndef FWTOOL_IMAGECMDS_H
#define FWTOOL_IMAGECMDS_H

#include <string>

namespace fwtool {

int run_info(const std::string &path, bool json);
int run_check(const std::string &path, bool json);
int run_extract(const std::string &path, bool json);

} // namespace fwtool

#endif
