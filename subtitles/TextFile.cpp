#include "subtitles/TextFile.h"

#include <QDir>
#include <QFile>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/ProgramLog.h"
#include "platform/http/HttpTransport.h"
#include "platform/system/Folders.h"

namespace kalvex {

namespace {
constexpr size_t kBufferSize = 16 * 1024;
}

CTextFile::CTextFile(enc defaultEncoding) : m_encoding(defaultEncoding), m_defaultEncoding(defaultEncoding) {}

CTextFile::~CTextFile() { CTextFile::Close(); }

bool CTextFile::Open(const QString& path) { return OpenLocal(path); }

bool CTextFile::OpenLocal(const QString& path) {
    CTextFile::Close();  // only the file: a downloaded copy stays until the caller closes

    QByteArray native = QFile::encodeName(path);
    FILE* f = std::fopen(native.constData(), "rb");
    if (!f) return false;
    struct stat st;
    // Only regular files: a folder reads nothing, a pipe could block for ever.
    if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode)) {
        std::fclose(f);
        return false;
    }
    m_file = f;
    m_path = path;
    m_length = st.st_size;
    m_encoding = m_defaultEncoding;
    m_offset = 0;
    m_buffer.assign(kBufferSize, 0);
    m_bufStart = 0;
    m_bufPos = m_bufLen = 0;

    if (m_length >= 2) {
        unsigned char bom[3] = {0, 0, 0};
        if (std::fread(bom, 1, 2, f) != 2) {
            CTextFile::Close();
            return false;
        }
        if (bom[0] == 0xFF && bom[1] == 0xFE) {
            m_encoding = LE16;
            m_offset = 2;
        } else if (bom[0] == 0xFE && bom[1] == 0xFF) {
            m_encoding = BE16;
            m_offset = 2;
        } else if (bom[0] == 0xEF && bom[1] == 0xBB && m_length >= 3) {
            if (std::fread(bom + 2, 1, 1, f) != 1) {
                CTextFile::Close();
                return false;
            }
            if (bom[2] == 0xBF) {
                m_encoding = UTF8;
                m_offset = 3;
            }
        }
    }
    Seek(0);
    return true;
}

void CTextFile::Close() {
    if (m_file) std::fclose(m_file);
    m_file = nullptr;
    m_bufPos = m_bufLen = 0;
    m_bufStart = 0;
}


qint64 CTextFile::GetPosition() const {
    if (!m_file) return 0;
    return m_bufStart + static_cast<qint64>(m_bufPos) - m_offset;
}

qint64 CTextFile::Seek(qint64 position) {
    if (!m_file) return 0;
    if (position < 0) position = 0;
    if (position > m_length - m_offset) position = m_length - m_offset;
    qint64 absolute = position + m_offset;
    // Inside the current buffer: just move there.
    if (absolute >= m_bufStart && absolute <= m_bufStart + static_cast<qint64>(m_bufLen)) {
        m_bufPos = static_cast<size_t>(absolute - m_bufStart);
        return position;
    }
    m_bufStart = absolute;
    m_bufPos = m_bufLen = 0;
    return position;
}

bool CTextFile::Fill() {
    if (!m_file) return false;
    qint64 next = m_bufStart + static_cast<qint64>(m_bufLen);
    if (m_bufPos < m_bufLen) return true;
    if (fseeko(m_file, next, SEEK_SET) != 0) return false;
    size_t n = std::fread(m_buffer.data(), 1, m_buffer.size(), m_file);
    m_bufStart = next;
    m_bufPos = 0;
    m_bufLen = n;
    return n > 0;
}

void CTextFile::Append(QString& line, char16_t c) {
    if (line.size() < kMaxLineLength) line.append(QChar(c));
}

bool CTextFile::ReadLine(QString& line) {
    line.clear();
    if (!m_file || AtEnd()) return false;
    switch (m_encoding) {
        case ASCII:
        case ANSI:
        default:
            // Whole runs up to the line feed; every byte is one character.
            for (;;) {
                if (m_bufPos >= m_bufLen && !Fill()) break;
                const char* start = m_buffer.data() + m_bufPos;
                size_t avail = m_bufLen - m_bufPos;
                const void* lf = std::memchr(start, '\n', avail);
                size_t take = lf ? static_cast<size_t>(static_cast<const char*>(lf) - start) : avail;
                qsizetype room = kMaxLineLength - line.size();
                if (room > 0)
                    line.append(QLatin1String(start, static_cast<qsizetype>(std::min<size_t>(take, static_cast<size_t>(room)))));
                m_bufPos += take;
                if (lf) {
                    ++m_bufPos;
                    break;
                }
            }
            if (line.contains(u'\r')) line.remove(u'\r');
            break;
        case UTF8:
            for (int b; (b = GetByte()) >= 0;) {
                if (b == '\n') break;
                if (b == '\r') continue;
                if (b < 0x80) {
                    Append(line, static_cast<char16_t>(b));
                    continue;
                }
                int need;
                char32_t cp;
                char32_t min;
                if ((b & 0xE0) == 0xC0) need = 1, cp = b & 0x1F, min = 0x80;
                else if ((b & 0xF0) == 0xE0) need = 2, cp = b & 0x0F, min = 0x800;
                else if ((b & 0xF8) == 0xF0) need = 3, cp = b & 0x07, min = 0x10000;
                else {
                    Append(line, u'?');
                    continue;
                }
                bool ok = true;
                for (int k = 0; k < need; ++k) {
                    int c = PeekByte();
                    // A missing continuation byte is not consumed: it starts
                    // the next character (or line).
                    if (c < 0 || (c & 0xC0) != 0x80) {
                        ok = false;
                        break;
                    }
                    GetByte();
                    cp = (cp << 6) | static_cast<char32_t>(c & 0x3F);
                }
                if (!ok || cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
                    Append(line, u'?');
                } else if (cp >= 0x10000) {
                    cp -= 0x10000;
                    Append(line, static_cast<char16_t>(0xD800 + (cp >> 10)));
                    Append(line, static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
                } else {
                    Append(line, static_cast<char16_t>(cp));
                }
            }
            break;
        case LE16:
        case BE16:
            for (;;) {
                int b0 = GetByte();
                if (b0 < 0) break;
                int b1 = GetByte();
                if (b1 < 0) break;  // an odd last byte is no character
                char16_t c = m_encoding == LE16 ? static_cast<char16_t>(b0 | (b1 << 8))
                                                : static_cast<char16_t>((b0 << 8) | b1);
                if (c == u'\n') break;
                if (c == u'\r') continue;
                Append(line, c);
            }
            break;
    }
    return true;
}

bool CTextFile::ReadLine(QByteArray& line) {
    line.clear();
    if (!m_file) return false;
    if (!IsUnicode()) {
        if (AtEnd()) return false;
        for (int b; (b = GetByte()) >= 0;) {
            if (b == '\n') break;
            if (b == '\r') continue;
            if (line.size() < kMaxLineLength) line.append(static_cast<char>(b));
        }
        return true;
    }
    QString wide;
    if (!ReadLine(wide)) return false;
    line = wide.toUtf8();
    return true;
}

// ---------------------------------------------------------------------------

CWebTextFile::CWebTextFile(qint64 maxSize) : m_llMaxSize(maxSize) {}

CWebTextFile::~CWebTextFile() { CWebTextFile::Close(); }

bool CWebTextFile::Open(const QString& path) {
    Close();
    if (path.startsWith("http://", Qt::CaseInsensitive) || path.startsWith("https://", Qt::CaseInsensitive)) {
        if (!Download(path)) {
            Close();
            return false;
        }
        if (OpenLocal(m_tempFile)) return true;
        Close();
        return false;
    }
    return OpenLocal(path);
}

void CWebTextFile::Close() {
    CTextFile::Close();
    if (!m_tempFile.isEmpty()) QFile::remove(m_tempFile);
    if (!m_tempFolder.isEmpty()) QDir().rmdir(m_tempFolder);
    m_tempFile.clear();
    m_tempFolder.clear();
}

namespace {

// Keeps the first `max` bytes of the answer in a file; at the maximum it
// stops the transfer, and what it holds is the copy (a longer file is read
// as far as the maximum).
class CappedFileSink : public http::BodySink {
public:
    CappedFileSink(FILE* file, qint64 max) : file_(file), max_(max) {}
    bool Write(const char* data, size_t size) override {
        qint64 room = max_ - written_;
        size_t take = size;
        if (static_cast<qint64>(take) > room) take = static_cast<size_t>(room > 0 ? room : 0);
        if (take && std::fwrite(data, 1, take, file_) != take) {
            failed_ = true;
            return false;
        }
        written_ += static_cast<qint64>(take);
        if (take < size) {
            full_ = true;
            return false;
        }
        return true;
    }
    std::string Error() const override {
        return full_ ? "the maximum size is reached" : "the copy could not be written";
    }
    bool Full() const { return full_; }
    bool Failed() const { return failed_; }

private:
    FILE* file_;
    qint64 max_;
    qint64 written_ = 0;
    bool full_ = false;
    bool failed_ = false;
};

}  // namespace

bool CWebTextFile::Download(const QString& url) {
    // The copy is named after the address's last path component, without any
    // query; it goes into a folder of its own so no existing file is touched.
    QString name = url;
    int cut = name.indexOf('?');
    if (cut >= 0) name.truncate(cut);
    cut = name.indexOf('#');
    if (cut >= 0) name.truncate(cut);
    int schemeEnd = name.indexOf("://");
    QString rest = name.mid(schemeEnd + 3);
    int slash = rest.lastIndexOf('/');
    name = slash >= 0 ? rest.mid(slash + 1) : QString();
    if (name.isEmpty() || name == "." || name == "..") name = "subtitle.txt";

    QByteArray folderTemplate = QByteArray::fromStdString(TempFolder()) + "kalvex-web-XXXXXX";
    if (!mkdtemp(folderTemplate.data())) return false;
    m_tempFolder = QFile::decodeName(folderTemplate);
    m_tempFile = m_tempFolder + "/" + name;

    FILE* file = std::fopen(QFile::encodeName(m_tempFile).constData(), "wb");
    if (!file) {
        LogLine("Subtitle download: could not create %s: %s", qPrintable(m_tempFile), std::strerror(errno));
        return false;
    }
    CappedFileSink sink(file, m_llMaxSize);
    http::Request request;
    request.url = url.toStdString();
    request.limits.connectTimeoutMs = 30000;
    // A server that stalls ends the transfer instead of blocking the caller.
    request.limits.idleTimeoutMs = 60000;
    request.limits.maxRedirects = 5;
    http::Result result = http::Perform(request, sink);
    bool closed = std::fclose(file) == 0;
    if (sink.Failed() || !closed) {
        LogLine("Subtitle download: could not write %s", qPrintable(m_tempFile));
        return false;
    }
    if (!result.ok() && !(result.kind == http::ErrorKind::LocalFile && sink.Full())) {
        LogLine("Subtitle download: %s failed (%s): %s", request.url.c_str(), http::KindName(result.kind),
                result.error.c_str());
        return false;
    }
    return true;
}

}  // namespace kalvex
