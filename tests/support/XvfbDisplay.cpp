#include "XvfbDisplay.h"

#include <chrono>
#include <fstream>
#include <thread>

namespace metro::testsupport {

XvfbDisplay::XvfbDisplay(const std::filesystem::path& dir, const std::string& screen)
    : m_xvfb({"Xvfb", "-displayfd", "1", "-br", "-screen", "0", screen, "-nolisten", "tcp"}, {},
             dir / "xvfb.out") {
    // Xvfb writes its display number on a line of its own once it takes connections.
    for (int i = 0; i < 400 && m_name.empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
        std::ifstream out(dir / "xvfb.out");
        for (std::string line; m_name.empty() && std::getline(out, line);) {
            if (!line.empty() && line.find_first_not_of("0123456789") == std::string::npos) {
                m_name = ":" + line;
            }
        }
    }
}

} // namespace metro::testsupport
