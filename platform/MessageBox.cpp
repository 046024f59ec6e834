#include "platform/MessageBox.h"

#include <cstdio>

namespace zentrix {

void ShowMessageBox(const std::string& text) {
    std::fprintf(stderr, "Zentrix: %s\n", text.c_str());
    std::fflush(stderr);
}

}  // namespace zentrix
