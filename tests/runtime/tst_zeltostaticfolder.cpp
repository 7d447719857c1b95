#include "zeltostaticfolder.h"

#include <QtTest>

// A console folder beside a secret file and a sibling folder whose name
// begins with the console's: requests must reach the console's files and
// nothing else, however they are written.
class ZeltoStaticFolderTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(m_base.isValid());
        const QString base = m_base.path();
        for (const char *dir : {"console/js", "console/css", "console/sub", "console-evil"})
            QVERIFY(QDir(base).mkpath(QLatin1String(dir)));
        for (const char *name : {"console/index.html", "console/js/app.js", "console/css/a.css", "console/имя файла.txt",
                                 "console/.hidden", "console/data.bin", "secret.txt", "console-evil/x.txt"}) {
            QFile file(base + QLatin1Char('/') + QString::fromUtf8(name));
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write("x") == 1);
        }
        for (const auto &link : {std::make_pair("/secret.txt", "link-out"), std::make_pair("/console/js/app.js", "link-in"),
                                 std::make_pair("", "up"), std::make_pair("/console-evil/x.txt", "sibling")})
            QVERIFY(QFile::link(base + QLatin1String(link.first), base + QStringLiteral("/console/") + QLatin1String(link.second)));
    }

    void finds_data()
    {
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<QString>("file");   // relative to the console folder
        QTest::addColumn<QByteArray>("type");
        QTest::newRow("root") << QByteArray("/") << "index.html" << QByteArray("text/html; charset=utf-8");
        QTest::newRow("module") << QByteArray("/js/app.js") << "js/app.js" << QByteArray("text/javascript; charset=utf-8");
        QTest::newRow("style") << QByteArray("/css/a.css") << "css/a.css" << QByteArray("text/css; charset=utf-8");
        QTest::newRow("unknown type") << QByteArray("/data.bin") << "data.bin" << QByteArray("application/octet-stream");
        QTest::newRow("encoded name") << QByteArray("/%D0%B8%D0%BC%D1%8F%20%D1%84%D0%B0%D0%B9%D0%BB%D0%B0.txt")
                                      << "имя файла.txt" << QByteArray("text/plain; charset=utf-8");
        // A link is typed by the name of the file it leads to.
        QTest::newRow("link inside") << QByteArray("/link-in") << "js/app.js" << QByteArray("text/javascript; charset=utf-8");
    }

    void finds()
    {
        QFETCH(QByteArray, path);
        QFETCH(QString, file);
        QFETCH(QByteArray, type);
        const ZeltoStaticFolder::File found = ZeltoStaticFolder(m_base.path() + QStringLiteral("/console")).resolve(path);
        QCOMPARE(found.status, 200);
        QCOMPARE(found.path, QFileInfo(m_base.path() + QStringLiteral("/console/") + file).canonicalFilePath());
        QCOMPARE(found.contentType, type);
    }

    // Anything but a file inside the folder, however the path is written, is
    // not found: every form of path traversal.
    void resolve()
    {
        const ZeltoStaticFolder folder(m_base.path() + QStringLiteral("/console"));
        for (const char *path : { "/nothing.js", "/../secret.txt", "/js/../../secret.txt", "/js/../index.html",
                                  "/./index.html", "/%2e%2e/secret.txt", "/..%2fsecret.txt", "/%2E%2E%2Fsecret.txt",
                                  "/%252e%252e/secret.txt", "/..%5csecret.txt", "/js\\app.js",
                                  "/../console-evil/x.txt", "/index.html%00.png", "/.hidden", "/sub", "/sub/",
                                  "/js//app.js", "/link-out", "/sibling", "/up/secret.txt", "/%ff.txt", "index.html",
                                  "//etc/passwd" }) {
            const ZeltoStaticFolder::File found = folder.resolve(path);
            QVERIFY2(found.status == 404 && found.path.isEmpty(), path);
        }
        const ZeltoStaticFolder absent(m_base.path() + QStringLiteral("/absent"));
        QVERIFY(absent.root().isEmpty() && absent.resolve("/").status == 404 && absent.resolve("/../secret.txt").status == 404);
    }

private:
    QTemporaryDir m_base;
};

QTEST_GUILESS_MAIN(ZeltoStaticFolderTest)
#include "tst_zeltostaticfolder.moc"
