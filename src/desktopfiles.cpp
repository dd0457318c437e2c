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

// The path made absolute against the current folder, byte for byte.
QByteArray absolute(const QByteArray &path)
{
    if (path.startsWith('/'))
        return path;
    QByteArray folder(4096, '\0');
    while (!getcwd(folder.data(), size_t(folder.size())))
        folder.resize(folder.size() * 2);
    folder.truncate(qsizetype(qstrlen(folder.constData())));
    return folder + (folder.endsWith('/') ? "" : "/") + path;
}

// The path of a file URI: "file://HOST/path" with HOST empty or localhost,
// or "file:/path". No value for another host; the argument itself where it
// is no file URI.
std::optional<QByteArray> pathOfUri(const QByteArray &uri)
{
    if (!uri.startsWith("file:"))
        return uri;
    QByteArray rest = uri.mid(5);
    if (rest.startsWith("//")) {
        const qsizetype slash = rest.indexOf('/', 2);
        const QByteArray host = rest.mid(2, slash < 0 ? -1 : slash - 2);
        if (!host.isEmpty() && host.toLower() != "localhost")
            return std::nullopt;
        rest = slash < 0 ? QByteArray() : rest.mid(slash);
    }
    if (!rest.startsWith('/'))
        return uri;
    // A query or fragment is no part of the path.
    for (const char end : {'?', '#'})
        if (const qsizetype at = rest.indexOf(end); at >= 0)
            rest.truncate(at);
    return QByteArray::fromPercentEncoding(rest);
}

} // namespace

std::optional<QByteArray> fileOfArgument(const QByteArray &argument)
{
    if (argument.isEmpty())
        return QByteArray();
    if (modeOf(argument))
        return absolute(argument);
    const std::optional<QByteArray> path = pathOfUri(argument);
    if (!path)
        return std::nullopt;
    return absolute(*path);
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
        if (uris.size() == 1 && uris.first().startsWith("file:")) {
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
