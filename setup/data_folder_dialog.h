// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The folder selection of the setup dialog's Browse button. The toolkit's own dialog refuses a
// folder name typed that does not exist yet; this one asks whether to create it (through the
// program's logged question) and creates it, with its missing parents, when the operator
// agrees. Its "Create New Folder" button works too. UI thread.

#include <QFileDialog>

class DataFolderDialog : public QFileDialog {
public:
    DataFolderDialog(QWidget* parent, const QString& start);

    // The chosen folder, or an empty text when the operator cancelled.
    static QString choose(QWidget* parent, const QString& start);

    void accept() override;
};
