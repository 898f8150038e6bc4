#pragma once
// Line-by-line reading of text files into UTF-16 lines: byte-order marks,
// UTF-8, UTF-16 little and big endian, and single-byte text whose bytes are
// handed on unchanged (the subtitle's character set says how to read them).
#include <QByteArray>
#include <QString>
#include <cstdio>
#include <vector>

namespace kalvex {

class CTextFile {
public:
    enum enc { ASCII = 0, UTF8 = 1, LE16 = 2, BE16 = 3, ANSI = 4 };

    // A line longer than this many characters keeps only its beginning; the
    // rest of it is skipped, so that a binary file cannot exhaust memory.
    static constexpr qsizetype kMaxLineLength = 1 << 20;

    explicit CTextFile(enc defaultEncoding = ASCII);
    virtual ~CTextFile();
    CTextFile(const CTextFile&) = delete;
    CTextFile& operator=(const CTextFile&) = delete;

    virtual bool Open(const QString& path);
    virtual void Close();
    bool IsOpen() const { return m_file != nullptr; }

    // False only at the end of the file with nothing read.
    bool ReadLine(QString& line);
    // Narrow variant: single-byte lines as they are, Unicode lines as UTF-8.
    bool ReadLine(QByteArray& line);

    // Positions count from the first byte after the byte-order mark.
    qint64 GetPosition() const;
    qint64 Seek(qint64 position);

    enc GetEncoding() const { return m_encoding; }
    bool IsUnicode() const { return m_encoding == UTF8 || m_encoding == LE16 || m_encoding == BE16; }
    QString GetFilePath() const { return m_path; }

protected:
    bool OpenLocal(const QString& path);

private:
    bool Fill();
    int GetByte() {
        if (m_bufPos >= m_bufLen && !Fill()) return -1;
        return static_cast<unsigned char>(m_buffer[m_bufPos++]);
    }
    int PeekByte() {
        if (m_bufPos >= m_bufLen && !Fill()) return -1;
        return static_cast<unsigned char>(m_buffer[m_bufPos]);
    }
    bool AtEnd() { return PeekByte() < 0; }
    void Append(QString& line, char16_t c);

    FILE* m_file = nullptr;
    QString m_path;
    enc m_encoding = ASCII;
    enc m_defaultEncoding = ASCII;
    qint64 m_offset = 0;   // bytes of the byte-order mark
    qint64 m_length = 0;   // whole file
    std::vector<char> m_buffer;
    qint64 m_bufStart = 0;  // file position of m_buffer[0]
    size_t m_bufPos = 0, m_bufLen = 0;
};

// A text file that may also be a web address: an "http://" path is first
// downloaded (at most m_llMaxSize bytes) into the temporary folder; closing
// deletes that copy.
class CWebTextFile : public CTextFile {
public:
    explicit CWebTextFile(qint64 maxSize = 1024 * 1024);
    ~CWebTextFile() override;

    bool Open(const QString& path) override;
    void Close() override;

    // The downloaded copy, empty for local files.
    QString LocalCopy() const { return m_tempFile; }

private:
    bool Download(const QString& url);

    qint64 m_llMaxSize;
    QString m_tempFile;
    QString m_tempFolder;
};

}  // namespace kalvex
