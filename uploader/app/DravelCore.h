#pragma once
// The uploader's logic without windows: its command-line modes, the values it
// keeps in the registry store, the file it uploads and the upload itself.
#include <QObject>
#include <QString>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/messages/Messages.h"

namespace kalvex::dravel {

// Posted by the upload thread to the main window.
constexpr unsigned WM_UPLOAD_DONE = WM_USER + 100;      // wParam 1 after a completed post, 0 after a failure
constexpr unsigned WM_UPLOAD_PROGRESS = WM_USER + 101;  // wParam bytes posted, lParam total body bytes

// The product web server used when KALVEX_SERVER is not set.
extern const char* const kDefaultServer;
constexpr const char* kUploadPath = "/upload_logs/a.php";
constexpr const char* kUploadField = "userfile";

// KALVEX_SERVER, or the default, without a trailing "/".
std::string ProductServer();
// The form's target: the product server + "/upload_logs/a.php".
std::string UploadUrl();

enum class Mode {
    StartConverter,  // no argument: start Kalvex and end
    UserUpload,      // "USERUPLOAD": upload, the window closes by itself
    BurnDvdFail,     // "BurnDVDFail": as USERUPLOAD, OK and the restart box hidden
    Crash,           // anything else ("CRASH_%X_%X"): upload, then wait for OK
    Idle,            // an empty argument: no upload; the window can be closed
};
// The mode for the first command-line argument (none = nullopt), compared
// without regard to case.
Mode ModeFor(const std::optional<std::string>& firstArgument);

// The e-mail dialog's rule for enabling OK: not empty, an at sign that is not
// the last character, and the first dot of the text after that at sign and
// not the last character.
bool LooksLikeEmail(const std::string& text);

// `Email` under HKEY_CURRENT_USER\Software\Kalvex ("" when missing).
std::string ReadEmail();
bool StoreEmail(const std::string& email);
// `UploadKey`: read, or made (a GUID without braces, upper case) and stored
// the first time. A store that cannot be written still yields a fresh key.
std::string UploadKey();

// The system tick count in milliseconds as the signed 32-bit number the
// upload name shows.
int32_t TickCount();
// "Kalvex" + key + "_" + tick + "_" + argument + ".txt". Characters of the
// key and the argument that would leave the log folder or break the form's
// part header (path separators, quotes, control characters) become "_", and
// each is cut to 100 characters, so the name stays one plain file name
// whatever the registry store or the command line held.
std::string UploadName(const std::string& key, int32_t tick, const std::string& argument);

std::string ConverterLogPath();  // AppDataFolder() + "log/Kalvex.log"
std::string StarBurnLogPath();   // AppDataFolder() + "StarBurn.log"
std::string ConverterPath();     // CompanionFolder("Kalvex") + "Kalvex"

// Starts the converter from the uploader's own folder, without arguments.
bool StartConverter();

// Writes the file to upload: a copy of the converter's log, the disc
// library's log between two "--- starburn.log ---" lines, then
// "Email:<address>". False when the file cannot be written (the log folder
// is missing, say); nothing is left behind then.
bool PrepareUploadFile(const std::string& uploadPath, const std::string& email);

// The progress bar's position for posted of total bytes (0 while total is 0).
int ProgressPercent(uint64_t posted, uint64_t total);

struct UploadJob {
    std::string url;       // UploadUrl() in the program
    std::string argument;  // the first command-line argument
    std::string email;
    uint32_t connectTimeoutMs = 30000;
    uint32_t idleTimeoutMs = 30000;
    // The whole exchange may take deadlineBaseMs plus deadlineMsPer100KiB
    // for every 100 KiB (begun) of the upload file.
    uint32_t deadlineBaseMs = 60000;
    uint32_t deadlineMsPer100KiB = 1000;
};

// The exchange time-out of the job for an upload file of fileBytes.
uint32_t UploadDeadlineMs(const UploadJob& job, uint64_t fileBytes);

// The upload thread's work: builds the upload file in the log folder, posts
// it as the form field "userfile", posting WM_UPLOAD_PROGRESS to target
// before every step and WM_UPLOAD_DONE at the end. The whole exchange is
// held to UploadDeadlineMs; past it the upload fails as a broken connection
// does. The upload file is deleted in every outcome, before WM_UPLOAD_DONE
// is posted. Never throws.
void RunUpload(const UploadJob& job, QObject* target);

}  // namespace kalvex::dravel
