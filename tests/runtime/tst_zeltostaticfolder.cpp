#include "zeltostaticfolder.h"

#include <QFile>
#include <QTemporaryDir>
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
        QVERIFY(QDir(base).mkpath(QStringLiteral("console/js")));
        QVERIFY(QDir(base).mkpath(QStringLiteral("console/css")));
        QVERIFY(QDir(base).mkpath(QStringLiteral("console/sub")));
        QVERIFY(QDir(base).mkpath(QStringLiteral("console-evil")));
        for (const QString &name : {QStringLiteral("console/index.html"), QStringLiteral("console/js/app.js"),
                                    QStringLiteral("console/css/a.css"), QStringLiteral("console/имя файла.txt"),
                                    QStringLiteral("console/.hidden"), QStringLiteral("console/data.bin"),
                                    QStringLiteral("secret.txt"), QStringLiteral("console-evil/x.txt")}) {
            QFile file(base + QLatin1Char('/') + name);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("x");
        }
        QVERIFY(QFile::link(base + QStringLiteral("/secret.txt"), base + QStringLiteral("/console/link-out")));
        QVERIFY(QFile::link(base + QStringLiteral("/console/js/app.js"), base + QStringLiteral("/console/link-in")));
        QVERIFY(QFile::link(base, base + QStringLiteral("/console/up")));
    }

    void resolve_data()
    {
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<QString>("file");   // relative to the console folder; empty: 404
        QTest::addColumn<QByteArray>("type");
        const QByteArray none;
        QTest::newRow("root") << QByteArray("/") << "index.html" << QByteArray("text/html; charset=utf-8");
        QTest::newRow("index") << QByteArray("/index.html") << "index.html" << QByteArray("text/html; charset=utf-8");
        QTest::newRow("module") << QByteArray("/js/app.js") << "js/app.js" << QByteArray("text/javascript; charset=utf-8");
        QTest::newRow("style") << QByteArray("/css/a.css") << "css/a.css" << QByteArray("text/css; charset=utf-8");
        QTest::newRow("unknown type") << QByteArray("/data.bin") << "data.bin" << QByteArray("application/octet-stream");
        QTest::newRow("encoded name") << QByteArray("/%D0%B8%D0%BC%D1%8F%20%D1%84%D0%B0%D0%B9%D0%BB%D0%B0.txt")
                                      << "имя файла.txt" << QByteArray("text/plain; charset=utf-8");
        // A link is typed by the name of the file it leads to.
        QTest::newRow("link inside") << QByteArray("/link-in") << "js/app.js" << QByteArray("text/javascript; charset=utf-8");
        QTest::newRow("missing") << QByteArray("/nothing.js") << QString() << none;
        QTest::newRow("dot dot") << QByteArray("/../secret.txt") << QString() << none;
        QTest::newRow("dot dot deeper") << QByteArray("/js/../../secret.txt") << QString() << none;
        QTest::newRow("dot dot inside") << QByteArray("/js/../index.html") << QString() << none;
        QTest::newRow("dot") << QByteArray("/./index.html") << QString() << none;
        QTest::newRow("encoded dots") << QByteArray("/%2e%2e/secret.txt") << QString() << none;
        QTest::newRow("encoded slash") << QByteArray("/..%2fsecret.txt") << QString() << none;
        QTest::newRow("encoded all") << QByteArray("/%2E%2E%2Fsecret.txt") << QString() << none;
        QTest::newRow("double encoded") << QByteArray("/%252e%252e/secret.txt") << QString() << none;
        QTest::newRow("backslash") << QByteArray("/..%5csecret.txt") << QString() << none;
        QTest::newRow("raw backslash") << QByteArray("/js\\app.js") << QString() << none;
        QTest::newRow("sibling folder") << QByteArray("/../console-evil/x.txt") << QString() << none;
        QTest::newRow("nul") << QByteArray("/index.html%00.png") << QString() << none;
        QTest::newRow("hidden") << QByteArray("/.hidden") << QString() << none;
        QTest::newRow("folder") << QByteArray("/sub") << QString() << none;
        QTest::newRow("folder without index") << QByteArray("/sub/") << QString() << none;
        QTest::newRow("empty segment") << QByteArray("/js//app.js") << QString() << none;
        QTest::newRow("link out") << QByteArray("/link-out") << QString() << none;
        QTest::newRow("link to parent") << QByteArray("/up/secret.txt") << QString() << none;
        QTest::newRow("not utf-8") << QByteArray("/%ff.txt") << QString() << none;
        QTest::newRow("relative") << QByteArray("index.html") << QString() << none;
        QTest::newRow("absolute inside") << QByteArray("//etc/passwd") << QString() << none;
    }

    void resolve()
    {
        QFETCH(QByteArray, path);
        QFETCH(QString, file);
        QFETCH(QByteArray, type);
        const ZeltoStaticFolder folder(m_base.path() + QStringLiteral("/console"));
        const ZeltoStaticFolder::File found = folder.resolve(path);
        if (file.isEmpty()) {
            QCOMPARE(found.status, 404);
            QVERIFY(found.path.isEmpty());
            return;
        }
        QCOMPARE(found.status, 200);
        QCOMPARE(found.path, QFileInfo(m_base.path() + QStringLiteral("/console/") + file).canonicalFilePath());
        QCOMPARE(found.contentType, type);
    }

    void missingFolderServesNothing()
    {
        const ZeltoStaticFolder folder(m_base.path() + QStringLiteral("/absent"));
        QVERIFY(folder.root().isEmpty());
        QCOMPARE(folder.resolve("/").status, 404);
        QCOMPARE(folder.resolve("/../secret.txt").status, 404);
    }

private:
    QTemporaryDir m_base;
};

QTEST_GUILESS_MAIN(ZeltoStaticFolderTest)
#include "tst_zeltostaticfolder.moc"
