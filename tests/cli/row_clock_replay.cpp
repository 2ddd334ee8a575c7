// Runs the tool's row clock over chunks read from standard input, for the scenario table the
// Python suite shares with it. Input: "rate R", then one line per chunk, "r ARRIVAL ROWS" or
// "c ARRIVAL ROWS COUNTER...", or "restart". Output: one time per row, then "missing N taken_back M".
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "cli/row_clock.h"

int main() {
    std::string word;
    double rate = 0;
    if (!(std::cin >> word >> rate) || word != "rate") {
        std::cerr << "expected: rate R\n";
        return 2;
    }
    Mivo::Cli::RowClock clock(rate);
    std::vector<double> counters, times;
    while (std::cin >> word) {
        if (word == "restart") {
            clock.Restart();
            continue;
        }
        double arrival = 0;
        std::size_t rows = 0;
        if ((word != "r" && word != "c") || !(std::cin >> arrival >> rows)) {
            std::cerr << "bad chunk line\n";
            return 2;
        }
        counters.resize(rows);
        if (word == "c")
            for (auto& c : counters) std::cin >> c;
        times.resize(rows);
        clock.Stamp(rows, arrival, word == "c" ? counters.data() : nullptr, times.data());
        for (double t : times) std::printf("%.17g\n", t);
    }
    std::printf("missing %llu taken_back %llu\n", static_cast<unsigned long long>(clock.Missing()),
                static_cast<unsigned long long>(clock.TakenBack()));
    return 0;
}
