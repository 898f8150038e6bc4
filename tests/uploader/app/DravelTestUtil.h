#pragma once
// Fixtures shared by the uploader's tests: the logs it joins, and a check of
// the form a server received.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>

#include "platform/system/Folders.h"
#include "tests/support/TestEnv.h"
#include "tests/uploader/http/HttpTestServer.h"

namespace kalvex::test {

// A converter log in AppDataFolder()/log/Kalvex.log; returns its bytes.
inline std::string MakeConverterLog() {
    std::filesystem::create_directories(AppDataFolder() + "log");
    std::string log =
        "==================================================================\n"
        "Program Version: 1.0.0.15\n"
        "OS: Unknown 6.1.0 \n"
        "L(2026-12-08 04:00:00) S(2026-12-08 03:00:00)\n"
        "--- Adding file /home/u/a.avi---\n"
        "InfoStr=Video: XVID 640x480 25.000 fps\n";
    WriteFile(AppDataFolder() + "log/Kalvex.log", log);
    return log;
}

// The disc library's log, with a line longer than 2047 characters.
inline std::string MakeStarBurnLog() {
    std::string log = "StarBurn debug log\n" + std::string(3000, 's') + "\nlast line without end";
    WriteFile(AppDataFolder() + "StarBurn.log", log);
    return log;
}

// Checks that the request is the uploader's form: POST to the upload path,
// one part "userfile" whose file name is folder + a name matching nameRegex,
// typed text/plain, holding exactly content, framed by the boundary of the
// request's Content-Type, with Content-Length equal to the body's size.
// Returns the file name sent ("" on a mismatch).
inline std::string CheckUploadedForm(const ReceivedRequest& r, const std::string& content, const std::string& folder,
                                     const std::string& nameRegex) {
    EXPECT_EQ("POST", r.method);
    EXPECT_EQ("/upload_logs/a.php", r.path);
    EXPECT_EQ(std::to_string(r.body.size()), r.Header("Content-Length"));
    const std::string prefix = "multipart/form-data; boundary=";
    std::string type = r.Header("Content-Type");
    if (type.rfind(prefix, 0) != 0) {
        ADD_FAILURE() << "Content-Type " << type;
        return {};
    }
    std::string b = type.substr(prefix.size());
    EXPECT_EQ(43u, b.size());
    std::string head = "--" + b + "\r\nContent-Disposition: form-data; name=\"userfile\"; filename=\"";
    if (r.body.rfind(head, 0) != 0) {
        ADD_FAILURE() << "body starts " << r.body.substr(0, 200);
        return {};
    }
    size_t end = r.body.find('"', head.size());
    std::string path = r.body.substr(head.size(), end - head.size());
    EXPECT_EQ(0u, path.rfind(folder, 0)) << path;
    EXPECT_TRUE(std::regex_match(path.substr(std::min(folder.size(), path.size())), std::regex(nameRegex))) << path;
    std::string expected = head + path + "\"\r\nContent-Type: text/plain\r\n\r\n" + content + "\r\n--" + b + "--\r\n";
    EXPECT_EQ(expected.size(), r.body.size());
    EXPECT_TRUE(expected == r.body) << r.body;
    return expected == r.body ? path : std::string();
}

}  // namespace kalvex::test
