// SPDX-License-Identifier: GPL-3.0-or-later
#include "setup/data_folder_dialog.h"

#include "dialogs/Dialogs.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

DataFolderDialog::DataFolderDialog(QWidget* parent, const QString& start)
    : QFileDialog(parent, QStringLiteral("Data directory"), start) {
    setFileMode(QFileDialog::Directory);
    setOption(QFileDialog::ShowDirsOnly, true);
    // Our own widgets, so that a typed new folder reaches accept() below on every desktop.
    setOption(QFileDialog::DontUseNativeDialog, true);
    setAcceptMode(QFileDialog::AcceptOpen);
}

QString DataFolderDialog::choose(QWidget* parent, const QString& start) {
    DataFolderDialog dialog(parent, start);
    if (dialog.exec() != QDialog::Accepted)
        return {};
    const QStringList chosen = dialog.selectedFiles();
    return chosen.isEmpty() ? QString() : chosen.first();
}

void DataFolderDialog::accept() {
    const QStringList chosen = selectedFiles();
    const QString path = chosen.isEmpty() ? QString() : chosen.first();
    if (path.isEmpty() || QFileInfo::exists(path)) {
        QFileDialog::accept();
        return;
    }
    const std::string bytes = QFile::encodeName(path).toStdString();
    if (!DlgConfirm("The folder " + bytes + " does not exist. Create it?", true))
        return; // back to the selection
    if (!QDir().mkpath(path)) {
        // mkpath says nothing of why: the first missing folder that cannot be made tells.
        std::string why = "unknown reason";
        QString probe = QDir::cleanPath(path);
        while (!probe.isEmpty() && !QFileInfo::exists(QFileInfo(probe).path()))
            probe = QFileInfo(probe).path();
        if (::mkdir(QFile::encodeName(probe).constData(), 0777) != 0)
            why = std::strerror(errno);
        DlgError("Cannot create the folder " + bytes + ": " + why);
        return;
    }
    QFileDialog::accept();
}
