// Node, group and user operations against a fresh database: what the wire
// cannot show, namely the order of change notifications and their holding
// back inside an open transaction, plus all-or-nothing saves.

#include "database.h"
#include "groups.h"
#include "nodes.h"
#include "transactionscope.h"
#include "users.h"
#include "zeltosystem.h"

#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

namespace {

using Notes = QList<QPair<QString, QVariant>>;

Notes notes(const QSignalSpy &spy)
{
    Notes result;
    for (const QList<QVariant> &args : spy)
        result.append({args.at(0).toString(), args.at(1)});
    return result;
}

int addTask(int nodeId)
{
    return Database::saveRecord(QStringLiteral("tasks"),
                                {{QStringLiteral("node_id"), nodeId}, {QStringLiteral("channel_code"), QStringLiteral("c")}});
}

} // namespace

class TestNodes : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void savesNewAndKnownNodes();
    void holdsBackNodeSavedInsideTransaction();
    void removesGroupWithNodesAndTasksInOrder();
    void removesNodeAndNotesFormerGroup();
    void savesUsersAllOrNothing();

private:
    QTemporaryDir m_dir;
    int m_serial = 100;
};

void TestNodes::initTestCase()
{
    QVERIFY(m_dir.isValid());
    const QString ini = m_dir.filePath(QStringLiteral("test.ini"));
    {
        QSettings settings(ini, QSettings::IniFormat);
        settings.setValue(QStringLiteral("Database/databaseName"), m_dir.filePath(QStringLiteral("telvan.db")));
    }
    ZeltoSystem::instance()->setSettingsPath(ini);
    QVERIFY2(Database::init(), qPrintable(ZeltoSystem::instance()->lastError()));
}

void TestNodes::cleanupTestCase()
{
    Database::destroy();
}

void TestNodes::savesNewAndKnownNodes()
{
    QSignalSpy spy(ZeltoSystem::instance(), &ZeltoSystem::notification);
    const QVariantMap input{{QStringLiteral("model_code"), QStringLiteral("QRV5")},
                            {QStringLiteral("model_name"), QStringLiteral("ТВ-5")},
                            {QStringLiteral("number"), 12},
                            {QStringLiteral("s1_type"), QStringLiteral("open")},
                            // Systems beyond the catalogue's and unknown keys are not columns.
                            {QStringLiteral("s99_type"), QStringLiteral("x")},
                            {QStringLiteral("bogus"), 1}};
    const int id = Nodes::save(input);
    QVERIFY2(id > 0, qPrintable(ZeltoSystem::instance()->lastError()));
    QVariantMap node = Nodes::get(id);
    QCOMPARE(node.value(QStringLiteral("name")).toString(), QStringLiteral("ТВ-5 №00000012"));
    QCOMPARE(node.value(QStringLiteral("group_id")).toInt(), 0);
    QCOMPARE(node.value(QStringLiteral("s1_type")).toString(), QStringLiteral("open"));
    QCOMPARE(node.value(QStringLiteral("has_archives")).toInt(), 0);
    QVERIFY(node.value(QStringLiteral("read_error")).isNull());

    // The same device again, without an id: the known node is updated.
    const int again = Nodes::save({{QStringLiteral("model_code"), QStringLiteral("QRV5")},
                                   {QStringLiteral("number"), 12},
                                   {QStringLiteral("note"), QStringLiteral("again")}});
    QCOMPARE(again, id);
    node = Nodes::get(id);
    QCOMPARE(node.value(QStringLiteral("name")).toString(), QStringLiteral("ТВ-5 №00000012"));
    QCOMPARE(node.value(QStringLiteral("note")).toString(), QStringLiteral("again"));
    QCOMPARE(Nodes::list().rowCount(), 1);

    // An update names only what changes.
    QCOMPARE(Nodes::save({{QStringLiteral("id"), id}, {QStringLiteral("consumer"), QStringLiteral("ТСЖ")}}), id);
    node = Nodes::get(id);
    QCOMPARE(node.value(QStringLiteral("consumer")).toString(), QStringLiteral("ТСЖ"));
    QCOMPARE(node.value(QStringLiteral("note")).toString(), QStringLiteral("again"));
    QCOMPARE(node.value(QStringLiteral("model_name")).toString(), QStringLiteral("ТВ-5"));

    // A node's identity is fixed; an id that is no number never reaches the statement.
    QCOMPARE(Nodes::save({{QStringLiteral("id"), id}, {QStringLiteral("number"), 13}}), -1);
    QVERIFY(ZeltoSystem::instance()->lastError().contains(QStringLiteral("Данные не соответствуют узлу")));
    QCOMPARE(Nodes::save({{QStringLiteral("id"), QStringLiteral("1 OR 1=1")}, {QStringLiteral("note"), QStringLiteral("x")}}), -1);
    QCOMPARE(Nodes::save({{QStringLiteral("id"), id}, {QStringLiteral("note"), QVariantList{1, 2}}}), -1);
    QCOMPARE(Nodes::get(id).value(QStringLiteral("note")).toString(), QStringLiteral("again"));

    const Notes expected{{QStringLiteral("nodeSaved"), id}, {QStringLiteral("nodeSaved"), id}, {QStringLiteral("nodeSaved"), id}};
    QCOMPARE(notes(spy), expected);
    QCOMPARE(spy.at(0).at(1).userType(), int(QMetaType::Int));
}

void TestNodes::holdsBackNodeSavedInsideTransaction()
{
    QSignalSpy spy(ZeltoSystem::instance(), &ZeltoSystem::notification);
    int id = -1;
    {
        TransactionScope scope;
        QVERIFY(scope.isActive());
        id = Nodes::save({{QStringLiteral("model_code"), QStringLiteral("QRV5")}, {QStringLiteral("number"), ++m_serial}});
        QVERIFY(id > 0);
        Nodes::changed(id);
        QVERIFY(scope.commit());
    }
    QCOMPARE(spy.count(), 0);
    QVERIFY(!Nodes::get(id).isEmpty());
    Nodes::changed(-1);
    QCOMPARE(spy.count(), 0);
    Nodes::changed(id);
    QCOMPARE(notes(spy), Notes({{QStringLiteral("nodeSaved"), id}}));
}

void TestNodes::removesGroupWithNodesAndTasksInOrder()
{
    const int group = Groups::save({{QStringLiteral("name"), QStringLiteral("Удаляемая")}});
    QVERIFY(group > 0);
    const auto node = [&] {
        return Nodes::save({{QStringLiteral("model_code"), QStringLiteral("QRV5")},
                            {QStringLiteral("number"), ++m_serial},
                            {QStringLiteral("group_id"), group}});
    };
    const int a = node();
    const int b = node();
    const int t1 = addTask(a);
    const int t2 = addTask(b);
    const int t3 = addTask(a);
    QVERIFY(a > 0 && b > 0 && t1 > 0 && t2 > 0 && t3 > 0);

    QSignalSpy spy(ZeltoSystem::instance(), &ZeltoSystem::notification);
    QVERIFY(Groups::remove(group));
    const Notes got = notes(spy);
    QCOMPARE(got.size(), 6);
    QCOMPARE(got.at(0), qMakePair(QStringLiteral("groupRemoved"), QVariant(group)));
    QCOMPARE(QSet<int>({got.at(1).second.toInt(), got.at(2).second.toInt()}), QSet<int>({a, b}));
    QSet<int> tasks;
    for (int i = 0; i < got.size(); ++i) {
        QCOMPARE(got.at(i).first, i == 0 ? QStringLiteral("groupRemoved")
                                         : i < 3 ? QStringLiteral("nodeRemoved") : QStringLiteral("taskRemoved"));
        QCOMPARE(got.at(i).second.userType(), int(QMetaType::Int));
        if (i >= 3)
            tasks.insert(got.at(i).second.toInt());
    }
    QCOMPARE(tasks, QSet<int>({t1, t2, t3}));
    QVERIFY(Nodes::get(a).isEmpty());
    QVERIFY(!Database::existsId(QStringLiteral("tasks"), t2));

    // The common group stays, and nothing is announced for it.
    spy.clear();
    QVERIFY(!Groups::remove(0));
    QVERIFY(ZeltoSystem::instance()->lastError().contains(QStringLiteral("Удаление общей группы запрещено")));
    QCOMPARE(spy.count(), 0);
}

void TestNodes::removesNodeAndNotesFormerGroup()
{
    const int group = Groups::save({{QStringLiteral("name"), QStringLiteral("Прежняя")}});
    const int node = Nodes::save({{QStringLiteral("model_code"), QStringLiteral("QRV5")},
                                  {QStringLiteral("number"), ++m_serial},
                                  {QStringLiteral("group_id"), group}});
    const int t1 = addTask(node);
    const int t2 = addTask(node);
    QVERIFY(group > 0 && node > 0 && t1 > 0 && t2 > 0);

    QSignalSpy spy(ZeltoSystem::instance(), &ZeltoSystem::notification);
    QVERIFY(Nodes::remove(node));
    const Notes got = notes(spy);
    QCOMPARE(got.size(), 3);
    QCOMPARE(got.at(0).first, QStringLiteral("taskRemoved"));
    QCOMPARE(got.at(1).first, QStringLiteral("taskRemoved"));
    QCOMPARE(QSet<int>({got.at(0).second.toInt(), got.at(1).second.toInt()}), QSet<int>({t1, t2}));
    QCOMPARE(got.at(2), qMakePair(QStringLiteral("nodeRemoved"), QVariant(node)));

    const QVariantMap entry = Database::selectRecord(
        QStringLiteral("SELECT group_id, node_id, level FROM journal WHERE message = ?"), {QStringLiteral("Удаление узла")});
    QCOMPARE(entry.value(QStringLiteral("group_id")).toInt(), group);
    QVERIFY(entry.value(QStringLiteral("node_id")).isNull());
    QCOMPARE(entry.value(QStringLiteral("level")).toString(), QStringLiteral("INFO"));

    // Gone means invisible: a second removal is refused and announces nothing.
    spy.clear();
    QVERIFY(!Nodes::remove(node));
    QCOMPARE(ZeltoSystem::instance()->lastError(), QStringLiteral("Недостаточно прав для выполнения команды"));
    QCOMPARE(spy.count(), 0);
}

void TestNodes::savesUsersAllOrNothing()
{
    const QString login = QStringLiteral("login");
    const int before = Users::list().rowCount();
    // A membership that cannot be written undoes the whole save.
    QCOMPARE(Users::save({{login, QStringLiteral("half")},
                          {QStringLiteral("password"), QStringLiteral("p")},
                          {QStringLiteral("groups"), QVariantList{0, 9999}}}),
             -1);
    QCOMPARE(Users::list().rowCount(), before);

    const int id = Users::save({{login, QStringLiteral("whole")},
                                {QStringLiteral("password"), QStringLiteral("p")},
                                {QStringLiteral("access"), QStringList{QStringLiteral("saveNode")}}});
    QVERIFY(id > 0);
    QCOMPARE(Users::groups(id), QVariantList({0}));
    QCOMPARE(Users::access(id), QStringList({QStringLiteral("saveNode")}));

    // Replacing memberships keeps the old ones when a new one fails.
    const int group = Groups::save({{QStringLiteral("name"), QStringLiteral("Своя")}});
    QVERIFY(group > 0);
    QVERIFY(Users::setGroups(id, {0, group}));
    const QVariantList both{0, group};
    QVERIFY(!Users::setGroups(id, {group, 9999}));
    QCOMPARE(Users::groups(id), both);
    QVERIFY(!Users::setGroups(id, {QStringLiteral("zero")}));
    QCOMPARE(Users::groups(id), both);
    QVERIFY(Users::setGroups(id, {}));
    QVERIFY(Users::groups(id).isEmpty());

    // Bad kinds are refused before anything is written.
    QCOMPARE(Users::save({{QStringLiteral("id"), id}, {QStringLiteral("access"), QStringLiteral("allowAll")}}), -1);
    QCOMPARE(Users::save({{QStringLiteral("id"), id}, {QStringLiteral("password"), QVariantMap()}}), -1);
    QCOMPARE(Users::access(id), QStringList({QStringLiteral("saveNode")}));

    // The administrator's rights and groups are not touched.
    QCOMPARE(Users::save({{QStringLiteral("id"), 0},
                          {QStringLiteral("fio"), QStringLiteral("Администратор")},
                          {QStringLiteral("access"), QStringList()},
                          {QStringLiteral("groups"), QVariantList{0}}}),
             0);
    QCOMPARE(Users::get(0).value(QStringLiteral("fio")).toString(), QStringLiteral("Администратор"));
    QCOMPARE(Users::access(0), QStringList({QStringLiteral("allowAll")}));
    QVERIFY(Users::groups(0).isEmpty());
    QVERIFY(!Users::remove(0));
}

QTEST_GUILESS_MAIN(TestNodes)
#include "tst_nodes.moc"
