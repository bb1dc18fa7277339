// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/guide_location.h"

#include <QDir>
#include <QFileInfo>

QStringList guideFileNames() {
    return {QStringLiteral("guide.html"), QStringLiteral("guide.md")};
}

QStringList guideFolders(const QString& programDir, const QStringList& fallbackDirs) {
    QStringList folders;
    auto add = [&folders](const QString& dir) {
        if (dir.isEmpty())
            return;
        const QString clean = QDir::cleanPath(dir);
        if (!folders.contains(clean))
            folders.append(clean);
    };
    if (!programDir.isEmpty()) {
        add(programDir + QStringLiteral("/../share/doc/xrq"));
        add(programDir);
    }
    for (const QString& dir : fallbackDirs)
        add(dir);
    return folders;
}

QString guideLocation(const QString& programDir, const QStringList& fallbackDirs) {
    for (const QString& folder : guideFolders(programDir, fallbackDirs)) {
        for (const QString& name : guideFileNames()) {
            const QFileInfo file(folder + QLatin1Char('/') + name);
            if (file.isFile() && file.isReadable())
                return file.absoluteFilePath();
        }
    }
    return {};
}
