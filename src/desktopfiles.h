#ifndef DESKTOPFILES_H
#define DESKTOPFILES_H

// Files as the desktop hands them over: on the command line, or dropped.
// Names are bytes, as the file system holds them: a name need not be UTF-8
// (old archives and memory cards hold Latin-1 names).

#include <QByteArray>

#include <optional>

class QMimeData;

namespace sixfold {

// The local file a command-line argument names, as the bytes of an absolute
// path: an existing file of that name (whatever it looks like), a file://
// URI whose host is empty, localhost or this machine's name (RFC 8089;
// the scheme in any case, percent-encoding decoded to bytes), or a path.
// Empty for an empty argument. No value for what names no local file: a
// file:// URI of another host or with no path, an escape that is none or
// stands for a NUL or a slash. A relative name stays as it is, to be
// opened relative to the current folder, as the kernel resolves it (the
// folder's own path may be too long to open, or run through folders that
// cannot be searched); in a deleted folder it names nothing.
std::optional<QByteArray> fileOfArgument(const QByteArray &argument);

// The local file a drag carries, if it can be loaded: exactly one URI in a
// text/uri-list that names a local file (not a folder), or, without one,
// one line of text naming an existing file by path or file:// URI. Empty
// for anything else (several files, a remote URL or host, text that names
// no file).
QByteArray draggedFile(const QMimeData *data);

} // namespace sixfold

#endif // DESKTOPFILES_H
