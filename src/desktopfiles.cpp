// Files as the desktop hands them over: on the command line, or dropped.

#include "desktopfiles.h"

#include <QList>
#include <QMimeData>

#include <sys/stat.h>
#include <unistd.h>

namespace sixfold {

namespace {

// What the path names, as stat gives its mode: 0 for nothing.
mode_t modeOf(const QByteArray &path)
{
    struct stat status{};
    return stat(path.constData(), &status) == 0 ? status.st_mode : 0;
}

// Whether the name names this machine: empty, localhost, or its own host
// name (RFC 8089), in any case.
bool isLocalHost(const QByteArray &host)
{
    if (host.isEmpty() || host.compare("localhost", Qt::CaseInsensitive) == 0)
        return true;
    char own[256] = {};
    return gethostname(own, sizeof own - 1) == 0 && host.compare(own, Qt::CaseInsensitive) == 0;
}

// A hexadecimal digit's value; -1 for any other character.
int hexDigit(char c)
{
    return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

// The bytes a percent-encoded path stands for; no value where an escape is
// not two hexadecimal digits, or gives a NUL, which no name can hold, or a
// slash, which no segment of a path can hold (as GLib refuses it).
std::optional<QByteArray> percentDecoded(const QByteArray &text)
{
    QByteArray bytes;
    bytes.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            bytes += text[i];
            continue;
        }
        const int high = i + 2 < text.size() ? hexDigit(text[i + 1]) : -1,
                  low = i + 2 < text.size() ? hexDigit(text[i + 2]) : -1;
        if (high < 0 || low < 0 || (high | low) == 0 || (high << 4 | low) == '/')
            return std::nullopt;
        bytes += char(high << 4 | low);
        i += 2;
    }
    return bytes;
}

// Whether the text is a file URI: its scheme is "file", in any case
// (RFC 3986).
bool isFileUri(const QByteArray &text)
{
    return text.left(5).compare("file:", Qt::CaseInsensitive) == 0;
}

// The path of a file URI: "file://HOST/path" with HOST this machine, or
// "file:/path". No value for another host, an escape that is not one, and a
// URI with no path at all; the argument itself where it is no file URI, or
// names no absolute path ("file:x.png", a relative name).
std::optional<QByteArray> pathOfUri(const QByteArray &uri)
{
    if (!isFileUri(uri))
        return uri;
    QByteArray rest = uri.mid(5);
    if (rest.startsWith("//")) {
        const qsizetype slash = rest.indexOf('/', 2);
        if (!isLocalHost(rest.mid(2, slash < 0 ? -1 : slash - 2)))
            return std::nullopt;
        rest = slash < 0 ? QByteArray() : rest.mid(slash);
    }
    // A query or fragment is no part of the path.
    for (const char end : {'?', '#'})
        if (const qsizetype at = rest.indexOf(end); at >= 0)
            rest.truncate(at);
    if (rest.isEmpty())
        return std::nullopt;
    if (!rest.startsWith('/'))
        return uri;
    return percentDecoded(rest);
}

} // namespace

std::optional<QByteArray> fileOfArgument(const QByteArray &argument)
{
    if (argument.isEmpty())
        return QByteArray();
    if (argument.contains('\0'))   // only a drop's text can hold one
        return std::nullopt;
    return modeOf(argument) ? argument : pathOfUri(argument);
}

QByteArray draggedFile(const QMimeData *data)
{
    if (!data)
        return {};
    QByteArray file;
    bool mayBeMissing = false;   // a URI names a file to load, or to fail on
    if (data->hasFormat(QStringLiteral("text/uri-list"))) {
        // Lines, with comments left out (RFC 2483).
        QList<QByteArray> uris;
        for (const QByteArray &line : data->data(QStringLiteral("text/uri-list")).split('\n'))
            if (const QByteArray uri = line.trimmed(); !uri.isEmpty() && !uri.startsWith('#'))
                uris << uri;
        if (uris.size() == 1 && isFileUri(uris.first())) {
            const std::optional<QByteArray> path = pathOfUri(uris.first());
            if (path && path->startsWith('/'))
                file = *path;
            mayBeMissing = true;
        }
    } else if (data->hasText()) {
        QByteArray text = data->data(QStringLiteral("text/plain"));
        if (text.isEmpty())
            text = data->text().toUtf8();
        text = text.trimmed();
        if (!text.contains('\n'))
            file = fileOfArgument(text).value_or(QByteArray());
    }
    // Never a folder or a device.
    const mode_t mode = file.isEmpty() ? 0 : modeOf(file);
    return S_ISREG(mode) || (mode == 0 && mayBeMissing) ? file : QByteArray();
}

} // namespace sixfold
