// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/exception_guard.h"

#include <QApplication>
#include <QMessageBox>
#include <QString>

#include <cstdio>

namespace platform {
namespace {

void showBox(const std::string& message) {
    // Without a GUI application there is no one to show a box to (a tool or a test without
    // QApplication): the message still must not vanish.
    if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) {
        std::fprintf(stderr, "XRQ: %s\n", message.c_str());
        return;
    }
    QMessageBox box(QMessageBox::Critical, QStringLiteral("XRQ"), QString::fromLatin1(message),
                    QMessageBox::Ok);
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();
}

ExceptionPresenter& presenter() {
    static ExceptionPresenter current = showBox;
    return current;
}

} // namespace

ExceptionPresenter setExceptionPresenter(ExceptionPresenter next) {
    ExceptionPresenter previous = std::move(presenter());
    presenter() = next ? std::move(next) : ExceptionPresenter(showBox);
    return previous;
}

void reportCurrentException() noexcept {
    std::string message;
    try {
        throw;
    } catch (const SilentException&) {
        return;
    } catch (const std::exception& e) {
        message = e.what();
    } catch (...) {
        message = "An unexpected error occurred.";
    }
    try {
        // Copy: the presenter may replace itself while its box is open.
        ExceptionPresenter show = presenter();
        show(message);
    } catch (...) {
        // A failing box must not take the program down with it.
        std::fprintf(stderr, "XRQ: %s\n", message.c_str());
    }
}

} // namespace platform
