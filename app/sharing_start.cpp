// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/sharing_start.h"

#include "dialogs/run_log.h"
#include "fleet/sharing.h"
#include "register/register_outbox.h"
#include "register/register_writer.h"
#include "register/unit_register.h"
#include "series/series_store.h"
#include "series/span_reader.h"

#include <QObject>

fleet::SharingSources programSharingSources() {
    fleet::SharingSources sources = series::sharingSources();
    unitreg::addSharingSources(sources);
    return sources;
}

void StartSharing(const std::string& filesFolder, QObject* shownBy,
                  std::function<void(const QString&)> showStatus) {
    fleet::Sharing& sharing = fleet::sharing();
    // The register's facts before the series' records: a series record's visit is then on
    // the server before it.
    sharing.start(filesFolder, {filesFolder + unitreg::kFileName, filesFolder + series::kFileName},
                  programSharingSources(), [](unsigned line, const QString& message) {
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
