// Prints the frame of every click in a raw float32 stereo recording (parec --raw), one a line.
#include "Onsets.h"

#include <cstdio>
#include <fstream>
#include <iostream>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: count-onsets RECORDING\n";
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    std::vector<float> samples;
    for (float sample = 0; in.read(reinterpret_cast<char*>(&sample), sizeof sample);) {
        samples.push_back(sample);
    }
    for (const auto frame : metro::testsupport::FindOnsets(samples, 2)) {
        std::cout << frame << '\n';
    }
    return 0;
}
