#ifndef DESKTOPFILES_H
#define DESKTOPFILES_H

// Files as the desktop hands them over: on the command line, or dropped.

#include <QString>

class QMimeData;

namespace sixfold {

// The local file a command-line argument names, as an absolute path: the
// argument is a path, or a file:// URI (percent-encoded, as file managers
// pass them). Empty for an empty argument.
QString fileOfArgument(const QString &argument);

// The local file a drag carries, if it can be loaded: exactly one local
// file URL (not a folder), or, without URLs, one line of text naming an
// existing file by path or file:// URI. Empty for anything else (several
// files, a remote URL, text that names no file).
QString draggedFile(const QMimeData *data);

} // namespace sixfold

#endif // DESKTOPFILES_H
