// The lines qbsocks-cat and qbsocks-reg print alike: the release for
// --version, and the pointer to --help that ends every usage error.
#ifndef QBSOCKS_TOOLS_TOOL_TEXT_H
#define QBSOCKS_TOOLS_TOOL_TEXT_H

#include <string>

namespace qbtool {

// "qbsocks-cat 1.3.0\n": the tool and the release it was built from.
inline std::string ReleaseLine(const char* tool) { return std::string(tool) + " " + QBSOCKS_RELEASE + "\n"; }

// "Try 'qbsocks-cat --help'.\n", after the line that says what is wrong.
inline std::string TryHelpLine(const char* tool) { return std::string("Try '") + tool + " --help'.\n"; }

}  // namespace qbtool

#endif  // QBSOCKS_TOOLS_TOOL_TEXT_H
