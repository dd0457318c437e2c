// Files as the desktop hands them over: on the command line, or dropped.

#include "desktopfiles.h"

#include <QFileInfo>
#include <QList>
#include <QMimeData>
#include <QUrl>

namespace sixfold {

QString fileOfArgument(const QString &argument)
{
    if (argument.isEmpty())
        return {};
    const QUrl url(argument);
    return QFileInfo(url.scheme() == QLatin1String("file") ? url.toLocalFile() : argument).absoluteFilePath();
}

QString draggedFile(const QMimeData *data)
{
    if (!data)
        return {};
    QString file;
    if (data->hasUrls()) {
        const QList<QUrl> urls = data->urls();
        if (urls.size() == 1 && urls.first().isLocalFile())
            file = urls.first().toLocalFile();
    } else if (data->hasText() && !data->text().trimmed().contains(QLatin1Char('\n'))) {
        file = fileOfArgument(data->text().trimmed());
        if (!QFileInfo(file).isFile())
            file.clear();
    }
    return file.isEmpty() || QFileInfo(file).isDir() ? QString() : file;
}

} // namespace sixfold
