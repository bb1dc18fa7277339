// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/sharing_start.h"

#include "dialogs/run_log.h"
#include "fleet/sharing.h"
#include "register/register_writer.h"
#include "register/unit_register.h"
#include "series/series_store.h"

#include <QObject>

void StartSharing(const std::string& filesFolder, QObject* shownBy,
                  std::function<void(const QString&)> showStatus) {
    fleet::Sharing& sharing = fleet::sharing();
    // The register's facts before the series' records: a series record's visit is then on
    // the server before it.
    sharing.start(filesFolder, {filesFolder + unitreg::kFileName, filesFolder + series::kFileName},
                  [](unsigned line, const QString& message) {
                      LogWrite("Sharing: " + message.toLocal8Bit().toStdString(), line,
                               LogSizeLimit);
                  });
    if (shownBy && showStatus) {
        QObject::connect(sharing.signalsObject(), &fleet::SharingSignals::statusChanged, shownBy,
                         showStatus);
        showStatus(sharing.statusLine());
        // Whatever the register recorded is in its outbox now (the same transaction).
        QObject::connect(unitRegister().signalsObject(), &RegisterSignals::recorded, shownBy,
                         [] { fleet::sharing().nudge(); });
    }
}

void StopSharing() {
    fleet::sharing().stop();
}
