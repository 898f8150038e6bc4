#include "subtitles/RarArchive.h"

#include <QFile>
#include <archive.h>
#include <archive_entry.h>

#include <mutex>

namespace kalvex {

namespace {
// Beyond any real VobSub picture file; keeps a corrupt size from exhausting memory.
constexpr std::int64_t kMaxEntrySize = std::int64_t(2) << 30;
// One archive at a time, as the extraction did with its process-wide buffer.
std::mutex g_rarMutex;
}  // namespace

bool ReadFirstSubFromRar(const QString& path, std::vector<std::uint8_t>& data) {
    std::lock_guard<std::mutex> lock(g_rarMutex);
    struct archive* a = archive_read_new();
    if (!a) return false;
    archive_read_support_format_rar(a);
    archive_read_support_format_rar5(a);
    bool found = false, failed = false;
    if (archive_read_open_filename(a, QFile::encodeName(path).constData(), 64 * 1024) == ARCHIVE_OK) {
        struct archive_entry* entry = nullptr;
        for (;;) {
            int r = archive_read_next_header(a, &entry);
            if (r == ARCHIVE_EOF) break;
            if (r != ARCHIVE_OK && r != ARCHIVE_WARN) {
                failed = true;
                break;
            }
            const char* name = archive_entry_pathname(entry);
            QString entryName = name ? QString::fromUtf8(name) : QString();
            if (archive_entry_filetype(entry) != AE_IFREG || !entryName.endsWith(".sub", Qt::CaseInsensitive)) {
                if (archive_read_data_skip(a) != ARCHIVE_OK) {
                    failed = true;
                    break;
                }
                continue;
            }
            std::vector<std::uint8_t> out;
            if (archive_entry_size_is_set(entry)) {
                std::int64_t size = archive_entry_size(entry);
                if (size > 0) out.reserve(static_cast<std::size_t>(std::min(size, kMaxEntrySize)));
            }
            std::uint8_t buffer[64 * 1024];
            for (;;) {
                la_ssize_t n = archive_read_data(a, buffer, sizeof buffer);
                if (n == 0) break;
                if (n < 0 || static_cast<std::int64_t>(out.size()) + n > kMaxEntrySize) {
                    failed = true;
                    break;
                }
                out.insert(out.end(), buffer, buffer + n);
            }
            if (!failed) {
                data = std::move(out);
                found = true;
            }
            break;
        }
    }
    archive_read_free(a);
    return found && !failed;
}

}  // namespace kalvex
