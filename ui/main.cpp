// Sendari's program entry. Until the windows land it answers --version and --about.
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/ResourceStrings.h"

namespace {
constexpr int kApplicationTitle = 128;

void PrintAbout() {
    std::printf("%s %s\n", std::string(platform::LoadResourceString(kApplicationTitle)).c_str(),
                SENDARI_VERSION);
    std::printf("Sends files from one computer to another, modem to modem, with ZMODEM.\n");
}
} // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--version") || !std::strcmp(argv[i], "--about")) {
            PrintAbout();
            return 0;
        }
    }
    PrintAbout();
    std::printf("The graphical program is not built yet; try --version.\n");
    return 0;
}
