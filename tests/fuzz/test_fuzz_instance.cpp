// Damaged hand-over lines sent to the first instance's socket, under
// AddressSanitizer and UndefinedBehaviorSanitizer. Every damaged input goes
// over a connection of its own; a probe request on a fresh connection then
// proves the first instance still listens. Whatever arrives, only accepted
// requests are handed on, and only paths that were written exactly as the
// sender encodes them, within the limits.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLocalSocket>
#include <cctype>
#include <cstring>
#include <set>

#include "platform/instance/SingleInstance.h"
#include "tests/fuzz/Mutator.h"

using namespace kalvex;

namespace {

// 10,000 damaged requests in two rounds of 5,000 (each its own seed and test
// entry); 10,000 path lines.
constexpr int kRounds = 2;
constexpr int kPerRound = 5000;
constexpr int kPathLines = 10000;
constexpr unsigned kOpen = 1027, kFiles = 77, kProbe = 99;

std::vector<std::string> Seeds() {
    const std::string twoPaths = "POST OpenFiles 2 0\n" + SingleInstance::EncodePath("/films/a b.avi").toStdString() + "\n" +
                                 SingleInstance::EncodePath("/films/\xC3\xA9t\xC3\xA9%.mkv").toStdString() + "\n";
    return {"POST 1027 0 0\n",
            "POST 1027 12 34\r\nPOST 1027 0 0\n",
            twoPaths,
            twoPaths + "POST 1027 0 0\n",
            "POST OpenFiles 1 0\n/x\nPOST OpenFiles 1 0\n%2Fy%0A\n",
            "POST OpenFiles 1001 0\n/a\n/b\n",
            "POST CloseKalvexMsg 0 0\nPOST 2027 1 1\n"};
}

std::vector<std::string> Tokens() {
    std::vector<std::string> t = fuzz::TextTokens();
    for (const char* s : {"POST ", "POST OpenFiles ", "POST 1027 ", "OpenFiles", "1027", "%", "%00", "%0", "%zz", "%2F",
                          "%FF", "1000", "1001", "-1", " 0\n", "\n/", "/"})
        t.emplace_back(s);
    t.push_back(std::string(300, 'a'));
    t.push_back(std::string(5000, '%'));
    return t;
}

// The reading of a path line as the protocol describes it, written here
// on its own: letters, digits and "-._~/" stand for themselves, "%" and
// two hexadecimal digits (either case) for one byte; nothing else.
bool ReferenceDecode(const std::string& line, std::string* path) {
    auto hex = [](char c) {
        return c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    };
    std::string out;
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (std::isalnum(static_cast<unsigned char>(c)) || std::strchr("-._~/", c) != nullptr) {
            if (c == '\0') return false;
            out += c;
        } else if (c == '%' && i + 2 < line.size() && hex(line[i + 1]) >= 0 && hex(line[i + 2]) >= 0) {
            out += char(hex(line[i + 1]) * 16 + hex(line[i + 2]));
            i += 2;
        } else {
            return false;
        }
    }
    *path = out;
    return true;
}

// The paths the lines of an input stand for.
std::set<std::string> PathsOfLines(const std::string& input) {
    std::set<std::string> paths;
    size_t start = 0;
    while (start < input.size()) {
        size_t lf = input.find('\n', start);
        if (lf == std::string::npos) lf = input.size();
        std::string line = input.substr(start, lf - start), path;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (ReferenceDecode(line, &path)) paths.insert(path);
        start = lf + 1;
    }
    return paths;
}

bool WaitFor(const std::function<bool()>& done, int ms) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > ms) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

void Send(const std::string& bytes) {
    QLocalSocket s;
    s.connectToServer(SingleInstance::ServerName());
    if (!s.waitForConnected(3000)) {
        ADD_FAILURE() << "no connection to the first instance";
        return;
    }
    s.write(bytes.data(), qint64(bytes.size()));
    s.flush();
    s.disconnectFromServer();
}

}  // namespace

class InstanceHandOverRounds : public testing::TestWithParam<int> {};

TEST_P(InstanceHandOverRounds, DamagedRequestsHandOnOnlyWhatWasWrittenAsARequest) {
    SingleInstance first;
    ASSERT_TRUE(first.Acquire());
    int probes = 0, handled = 0, rejected = 0, batches = 0;
    std::string current;  // the input being sent
    bool ok = first.Publish(
        {{"1027", kOpen}, {"OpenFiles", kFiles, true}, {"Probe", kProbe}},
        [&](unsigned m) {
            if (m == kProbe) {
                ++probes;
                return;
            }
            EXPECT_EQ(m, kOpen);
            ++handled;
        },
        [&](const QString&) { ++rejected; },
        [&](unsigned m, const std::vector<std::string>& paths) {
            EXPECT_EQ(m, kFiles);
            EXPECT_FALSE(paths.empty());
            EXPECT_LE(paths.size(), size_t(SingleInstance::kMaxPathsPerRequest));
            for (const std::string& p : paths) {
                EXPECT_FALSE(p.empty());
                EXPECT_LE(p.size(), size_t(SingleInstance::kMaxPathBytes));
                EXPECT_EQ(p.find('\0'), std::string::npos);
                // Each path was a line of the input, written as a path.
                EXPECT_TRUE(PathsOfLines(current).count(p)) << SingleInstance::EncodePath(p).toStdString();
            }
            ++batches;
            return PathsAnswer{true, int(paths.size()), {}};
        });
    ASSERT_TRUE(ok);

    fuzz::Mutator mutator(0x1e57a7ceull + uint64_t(GetParam()), Seeds(), Tokens());
    for (int i = 0; i < kPerRound; ++i) {
        current = mutator.Next(8, 16 * 1024);
        Send(current);
        Send("POST Probe 0 0\n");
        ASSERT_TRUE(WaitFor([&] { return probes == i + 1; }, 5000)) << "input " << i << " stopped the first instance";
    }
    // Both sides of every decision were reached.
    EXPECT_GT(handled, kPerRound / 20);
    EXPECT_GT(rejected, kPerRound / 10);
    EXPECT_GT(batches, kPerRound / 30);
}

INSTANTIATE_TEST_SUITE_P(Rounds, InstanceHandOverRounds, testing::Range(0, kRounds));

TEST(InstanceHandOverFuzz, APathLineIsReadExactlyAsItIsWritten) {
    fuzz::Mutator mutator(0xdec0de, {SingleInstance::EncodePath("/films/a b.avi").toStdString(),
                                     SingleInstance::EncodePath("/\x01\xFF%~._-").toStdString(), "%41%42%43"},
                          {"%", "%0", "%00", "%G0", "%0g", "%ff", "%FF", "~", "\n", std::string(1, '\0')});
    int read = 0;
    for (int i = 0; i < kPathLines; ++i) {
        const std::string line = mutator.Next();
        std::string path;
        std::string expected;
        const bool readable = ReferenceDecode(line, &expected);
        ASSERT_EQ(SingleInstance::DecodePath(QByteArray::fromStdString(line), &path), readable) << i << " " << line;
        if (readable) {
            ++read;
            EXPECT_EQ(path, expected) << i;
        }
        // Any bytes as a path travel unchanged.
        std::string back;
        ASSERT_TRUE(SingleInstance::DecodePath(SingleInstance::EncodePath(line), &back)) << i;
        EXPECT_EQ(back, line) << i;
    }
    EXPECT_GT(read, 500);
    EXPECT_LT(read, kPathLines);
}
