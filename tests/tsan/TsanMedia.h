#pragma once
// Media fixtures for the ThreadSanitizer programs. The ffmpeg tool is
// started with fork and exec, which the sanitizer follows. Qt's QProcess
// (what the other tests use) starts programs in a way it cannot follow: the
// child's steps run in the parent's memory and leave the sanitizer blind to
// the calling thread's locks from then on, so that every later lock of that
// thread looked like none at all.
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/support/TestEnv.h"

namespace kalvex::tsan {

// Runs ffmpeg with args, writing `name` in the test's folder; its path, or
// empty on failure.
inline std::string MakeMedia(const std::string& name, const std::vector<std::string>& args) {
    const std::string out = test::TestRoot() + "/" + name;
    std::vector<std::string> all{"ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y"};
    all.insert(all.end(), args.begin(), args.end());
    all.push_back(out);
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid < 0) return {};
    if (pid == 0) {
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return {};
    return access(out.c_str(), R_OK) == 0 ? out : std::string();
}

// testsrc2 pictures and a sine tone in raw form (raw pictures, 16-bit PCM):
// every frame differs, every frame decodes on its own.
inline std::string MakeClip(const std::string& name, double seconds, int width, int height, int audioRate) {
    const std::string d = std::to_string(seconds);
    return MakeMedia(name, {"-f", "lavfi", "-i",
                            "testsrc2=size=" + std::to_string(width) + "x" + std::to_string(height) + ":rate=25:duration=" + d,
                            "-f", "lavfi", "-i", "sine=frequency=300:sample_rate=" + std::to_string(audioRate) + ":duration=" + d,
                            "-ac", "2", "-c:v", "rawvideo", "-pix_fmt", "yuv420p", "-c:a", "pcm_s16le"});
}

}  // namespace kalvex::tsan
