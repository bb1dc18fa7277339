// SPDX-License-Identifier: GPL-3.0-or-later
// xrq-office over HTTPS with a certificate made here by openssl: the page comes over TLS, a
// plain HTTP request to the same port gets no page, and unreadable files stop the start. No
// server is read: the service's own static files answer without one.
#include "office/office_server.h"
#include "support/child_process.h"
#include "support/wait.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSslConfiguration>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

class OfficeTls : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        const QString openssl = QStandardPaths::findExecutable(QStringLiteral("openssl"));
        ASSERT_FALSE(openssl.isEmpty());
        testsupport::ChildProcess make(
            openssl.toStdString(),
            {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
             "-keyout", path("key.pem"), "-out", path("cert.pem"), "-days", "2", "-subj",
             "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1"});
        ASSERT_TRUE(make.waitForExit(60s));
        ASSERT_EQ(make.exitCode(), 0) << make.errorOutput();
    }

    std::string path(const char* name) { return dir.path().toStdString() + "/" + name; }

    QNetworkReply* get(const QString& url) {
        QNetworkRequest request{QUrl(url)};
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.setCaCertificates(QSslCertificate::fromPath(QString::fromStdString(path("cert.pem"))));
        request.setSslConfiguration(tls);
        QNetworkReply* reply = net.get(request);
        EXPECT_TRUE(testsupport::waitUntil([&] { return reply->isFinished(); }, 30s));
        return reply;
    }

    QTemporaryDir dir;
    QNetworkAccessManager net;
};

TEST_F(OfficeTls, ServesOverTlsOnlyAndRefusesToStartWithoutItsFiles) {
    office::OfficeServer server(office::OfficeConfig{}, 1);
    QString why;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost, 0,
                              office::TlsFiles{QString::fromStdString(path("cert.pem")),
                                               QString::fromStdString(path("key.pem"))},
                              why))
        << why.toStdString();
    QNetworkReply* secure =
        get(QStringLiteral("https://127.0.0.1:%1/static/office.css").arg(server.port()));
    EXPECT_EQ(secure->error(), QNetworkReply::NoError) << secure->errorString().toStdString();
    EXPECT_EQ(secure->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 200);
    EXPECT_TRUE(secure->readAll().contains("font-family"));
    secure->deleteLater();
    QNetworkReply* plain =
        get(QStringLiteral("http://127.0.0.1:%1/static/office.css").arg(server.port()));
    EXPECT_FALSE(plain->readAll().contains("font-family"));
    plain->deleteLater();

    for (const auto& files : {office::TlsFiles{QString::fromStdString(path("none.pem")),
                                               QString::fromStdString(path("key.pem"))},
                              office::TlsFiles{QString::fromStdString(path("cert.pem")),
                                               QString::fromStdString(path("none.pem"))},
                              office::TlsFiles{QString::fromStdString(path("cert.pem")),
                                               QString::fromStdString(path("cert.pem"))}}) {
        office::OfficeServer refused(office::OfficeConfig{}, 1);
        EXPECT_FALSE(refused.listen(QHostAddress::LocalHost, 0, files, why));
        EXPECT_FALSE(why.isEmpty());
    }
}

} // namespace
