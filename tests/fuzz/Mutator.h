#pragma once
// A small mutation fuzzer for the programs in this folder: damaged copies of
// valid seed inputs, made by a deterministic generator from a fixed seed, so
// every run feeds exactly the same inputs and a finding can be replayed by
// its number. The edits are the classic ones: byte flips, inserted bytes,
// deleted ranges, truncations, repeated ranges, splices with another seed
// and "interesting" tokens of the format (line ends, separators, huge and
// negative numbers, byte-order marks, cut UTF-8).
#include <cstdint>
#include <string>
#include <vector>

namespace kalvex::fuzz {

// xorshift64*: tiny, fast, and the same sequence on every platform and
// compiler (std::uniform_int_distribution is not).
class Rng {
public:
    explicit Rng(uint64_t seed) : state_(seed ? seed : 0x9E3779B97F4A7C15ull) {}
    uint64_t Next() {
        state_ ^= state_ >> 12;
        state_ ^= state_ << 25;
        state_ ^= state_ >> 27;
        return state_ * 0x2545F4914F6CDD1Dull;
    }
    // 0 .. n-1 (0 when n is 0).
    size_t Below(size_t n) { return n ? size_t(Next() % n) : 0; }
    bool OneIn(size_t n) { return Below(n) == 0; }

private:
    uint64_t state_;
};

class Mutator {
public:
    Mutator(uint64_t seed, std::vector<std::string> seeds, std::vector<std::string> tokens = {})
        : rng_(seed), seeds_(std::move(seeds)), tokens_(std::move(tokens)) {}

    // The next damaged input: a seed with 1 to maxEdits edits, never longer
    // than maxSize bytes.
    std::string Next(int maxEdits = 8, size_t maxSize = 64 * 1024) {
        std::string s = seeds_.empty() ? std::string() : seeds_[rng_.Below(seeds_.size())];
        const int edits = 1 + int(rng_.Below(size_t(maxEdits)));
        for (int e = 0; e < edits; ++e) Edit(s);
        if (s.size() > maxSize) s.resize(maxSize);
        return s;
    }

    Rng& rng() { return rng_; }

private:
    void Edit(std::string& s) {
        const size_t pos = rng_.Below(s.size() + 1);
        switch (rng_.Below(tokens_.empty() ? 8 : 9)) {
            case 0:  // flip one bit
                if (!s.empty()) s[pos % s.size()] ^= char(1u << rng_.Below(8));
                break;
            case 1:  // a random byte
                if (!s.empty()) s[pos % s.size()] = char(rng_.Next());
                break;
            case 2:  // insert a run of one byte
                s.insert(pos, 1 + rng_.Below(rng_.OneIn(16) ? 600 : 4), char(rng_.Next()));
                break;
            case 3:  // delete a range
                if (pos < s.size()) s.erase(pos, 1 + rng_.Below(rng_.OneIn(4) ? 256 : 16));
                break;
            case 4:  // truncate
                s.resize(pos);
                break;
            case 5:  // repeat a range of itself
                if (!s.empty()) {
                    const size_t from = rng_.Below(s.size());
                    s.insert(pos, s.substr(from, 1 + rng_.Below(128)));
                }
                break;
            case 6: {  // splice: the head of this input, the tail of another seed
                if (seeds_.empty()) break;
                const std::string& other = seeds_[rng_.Below(seeds_.size())];
                s = s.substr(0, pos) + other.substr(rng_.Below(other.size() + 1));
                break;
            }
            case 7: {  // a digit changed into another number
                const size_t d = s.find_first_of("0123456789", pos);
                if (d == std::string::npos) break;
                static const char* const kNumbers[] = {"0", "-1", "65535", "65536", "2147483647", "2147483648",
                                                       "-2147483648", "4294967296", "99999999999999999999"};
                size_t end = d;
                while (end < s.size() && s[end] >= '0' && s[end] <= '9') ++end;
                s.replace(d, end - d, kNumbers[rng_.Below(sizeof kNumbers / sizeof *kNumbers)]);
                break;
            }
            default:  // a token of the format
                s.insert(pos, tokens_[rng_.Below(tokens_.size())]);
                break;
        }
    }

    Rng rng_;
    std::vector<std::string> seeds_;
    std::vector<std::string> tokens_;
};

// Tokens most text formats react to.
inline std::vector<std::string> TextTokens() {
    return {"\n", "\r\n", "\r", std::string(1, '\0'), " ", "\t", ",", ":", ".", "-", "%", "\xEF\xBB\xBF",
            "\xFF\xFE", "\xFE\xFF", "\xE2\x82", "\xC0", "\xFF", std::string(300, 'x')};
}

}  // namespace kalvex::fuzz
