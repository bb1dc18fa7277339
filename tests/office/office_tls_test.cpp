// SPDX-License-Identifier: GPL-3.0-or-later
// xrq-office over HTTPS with a certificate made here by openssl: the page comes over TLS, a
// plain HTTP request to the same port gets no page, and unreadable files stop the start. No
// server is read: the service's own static files answer without one.
#include "office/office_server.h"
#include "support/child_process.h"
#include "support/result_assert.h"
#include "support/wait.h"

#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSslConfiguration>
#include <QSslSocket>
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

    void openssl(const std::vector<std::string>& args) {
        testsupport::ChildProcess run(
            QStandardPaths::findExecutable(QStringLiteral("openssl")).toStdString(), args);
        ASSERT_TRUE(run.waitForExit(60s));
        ASSERT_EQ(run.exitCode(), 0) << run.errorOutput();
    }

    // A certificate for 127.0.0.1 named `cn`, signed by the test's CA (ca.pem, made once), with
    // the CA after it in `chainFile`: the chain a server sends.
    void signedChain(const char* cn, const char* chainFile) {
        if (!QFile::exists(QString::fromStdString(path("ca.pem"))))
            openssl({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                     "-nodes", "-keyout", path("ca.key"), "-out", path("ca.pem"), "-days", "2",
                     "-subj", "/CN=xrq test CA"});
        QFile ext(QString::fromStdString(path("ext.cnf")));
        ASSERT_TRUE(ext.open(QIODevice::WriteOnly));
        ext.write("subjectAltName=IP:127.0.0.1\n");
        ext.close();
        openssl({"req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                 "-keyout", path("leaf.key"), "-out", path("leaf.csr"), "-subj",
                 std::string("/CN=") + cn});
        openssl({"x509", "-req", "-in", path("leaf.csr"), "-CA", path("ca.pem"), "-CAkey",
                 path("ca.key"), "-CAcreateserial", "-out", path("leaf.pem"), "-days", "2",
                 "-extfile", path("ext.cnf")});
        QFile chain(QString::fromStdString(path(chainFile)));
        ASSERT_TRUE(chain.open(QIODevice::WriteOnly | QIODevice::Truncate));
        for (const char* part : {"leaf.pem", "ca.pem"}) {
            QFile f(QString::fromStdString(path(part)));
            ASSERT_TRUE(f.open(QIODevice::ReadOnly));
            chain.write(f.readAll());
        }
        chain.close();
        ASSERT_TRUE(QFile::remove(QString::fromStdString(path("key.pem"))) ||
                    !QFile::exists(QString::fromStdString(path("key.pem"))));
        ASSERT_TRUE(QFile::rename(QString::fromStdString(path("leaf.key")),
                                  QString::fromStdString(path("key.pem"))));
    }

    // The certificates the service sends to a client that trusts the test's CA, and the
    // answer to one request.
    QList<QSslCertificate> handshake(quint16 port, QByteArray& answer) {
        QSslSocket client;
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.setCaCertificates(QSslCertificate::fromPath(QString::fromStdString(path("ca.pem"))));
        client.setSslConfiguration(tls);
        client.connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
        EXPECT_TRUE(testsupport::waitUntil([&] { return client.isEncrypted(); }, 30s))
            << client.errorString().toStdString();
        client.write("GET /static/office.css HTTP/1.1\r\nHost: 127.0.0.1:" +
                     QByteArray::number(port) + "\r\nConnection: close\r\n\r\n");
        testsupport::waitUntil(
            [&] {
                answer += client.readAll();
                return client.state() == QAbstractSocket::UnconnectedState;
            },
            30s);
        return client.peerCertificateChain();
    }

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
    ASSERT_TRUE(done(server.listen(QHostAddress::LocalHost, 0,
                                   office::TlsFiles{QString::fromStdString(path("cert.pem")),
                                                    QString::fromStdString(path("key.pem"))})));
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
        const auto listening = refused.listen(QHostAddress::LocalHost, 0, files);
        ASSERT_FALSE(listening.ok());
        EXPECT_FALSE(listening.text().empty());
    }
}

TEST_F(OfficeTls, SendsTheWholeChainWithHstsAndReadsItsCertificatesAgainWhenTold) {
    signedChain("first", "chain.pem");
    office::OfficeServer server(office::OfficeConfig{}, 1);
    const office::TlsFiles files{QString::fromStdString(path("chain.pem")),
                                 QString::fromStdString(path("key.pem"))};
    ASSERT_TRUE(done(server.listen(QHostAddress::LocalHost, 0, files)));
    QByteArray answer;
    QList<QSslCertificate> sent = handshake(server.port(), answer);
    ASSERT_EQ(sent.size(), 2); // the leaf and the CA after it, not the leaf alone
    EXPECT_EQ(sent.front().subjectInfo(QSslCertificate::CommonName).value(0), "first");
    EXPECT_TRUE(answer.startsWith("HTTP/1.1 200 ")) << answer.left(200).toStdString();
    EXPECT_TRUE(answer.contains("\r\nStrict-Transport-Security: max-age="))
        << answer.left(600).toStdString();

    // A new certificate in the same files: taken when told, by the connections after.
    signedChain("second", "chain.pem");
    ASSERT_TRUE(done(server.reloadCertificates()));
    answer.clear();
    sent = handshake(server.port(), answer);
    ASSERT_FALSE(sent.isEmpty());
    EXPECT_EQ(sent.front().subjectInfo(QSslCertificate::CommonName).value(0), "second");

    // Files that cannot be read: told why, and the certificates in use stay.
    QFile::remove(QString::fromStdString(path("chain.pem")));
    const auto reloaded = server.reloadCertificates();
    ASSERT_FALSE(reloaded.ok());
    EXPECT_NE(reloaded.text().find("chain.pem"), std::string::npos) << reloaded.text();
    answer.clear();
    sent = handshake(server.port(), answer);
    ASSERT_FALSE(sent.isEmpty());
    EXPECT_EQ(sent.front().subjectInfo(QSslCertificate::CommonName).value(0), "second");
    EXPECT_TRUE(answer.startsWith("HTTP/1.1 200 "));
}

} // namespace
