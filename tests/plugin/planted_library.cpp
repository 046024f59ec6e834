// A stranger's library under the dialog library's file name: loading it runs its constructor,
// which leaves a marker file where ZENTRIX_PLANTED_MARKER says.
#include <cstdio>
#include <cstdlib>

namespace {

__attribute__((constructor)) void LeaveMarker() {
    if (const char* marker = std::getenv("ZENTRIX_PLANTED_MARKER")) {
        if (std::FILE* file = std::fopen(marker, "w")) {
            std::fputs("loaded\n", file);
            std::fclose(file);
        }
    }
}

}  // namespace
