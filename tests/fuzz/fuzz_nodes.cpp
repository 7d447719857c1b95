// Node package documents, as importNodes takes them: the table XML reader,
// then each package it gives through the node import into a database whose
// transaction is rolled back after every input. The packages read are also
// written again: the writer's text must read back, and once in the writer's
// own form, keep its values from one pass to the next.
#include "fuzzing.h"
#include "metadatacatalogue.h"
#include "nodeimport.h"
#include "tablexmlreader.h"
#include "tablexmlwriter.h"
#include "tempdatabasehome.h"
#include "transactionscope.h"
#include "zeltojsonwriter.h"

#include <cstdlib>

namespace {

// A document read and written again: the text written, null when the
// reader refused the document, and the values read. Columns are left
// unordered in the values: a column takes its place where it first appears,
// and one that holds a list in one record and a number in another moves
// from one pass to the next.
struct Pass
{
    QString text;
    QByteArray values;
};

Pass pass(const QString &text)
{
    TableXmlReader reader(text);
    if (!reader.readNodesDocument())
        return Pass();
    QVariantList packages;
    for (const QVariant &node : reader.nodes()) {
        const ZeltoTableMap tables = node.value<ZeltoTableMap>();
        QVariantMap package;
        for (auto table = tables.constBegin(); table != tables.constEnd(); ++table) {
            QVariantList rows;
            for (int row = 0; row < table->rowCount(); ++row)
                rows.append(table->toMap(row));
            package.insert(table.key(), rows);
        }
        packages.append(package);
    }
    TableXmlWriter writer;
    writer.writeNodesDocument(reader.nodes());
    return {writer.text(), ZeltoJsonWriter::toJson(packages)};
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    Fuzzing::startApplication(argc, argv);
    // The shipped device models, and a database in a folder of its own.
    qputenv("ORVEX_DATA_DIR", ORVEX_SOURCE_DIR);
    static TempDatabaseHome *home = new TempDatabaseHome;
    Fuzzing::expect(home->open().ok(), "the database opens");
    // Closed before Qt's list of connections, which opening made, goes at exit.
    std::atexit([] { delete home; });
    Fuzzing::expect(!MetadataCatalogue::instance().models().isEmpty(), "the device models are read");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = QString::fromUtf8(Fuzzing::bytes(data, size));
    TableXmlReader reader(text);
    reader.readNodesDocument();
    if (!reader.nodes().isEmpty()) {
        TransactionScope scope(testDatabase(), "test");
        Fuzzing::expect(scope.isActive(), "a transaction begins");
        for (const QVariant &package : reader.nodes())
            NodeImport::importNode(serverContext(), package);
    }

    const Pass first = pass(text);
    if (first.text.isNull())
        return 0;
    // The first pass turns texts into the values they stand for ("5.0" into 5).
    const Pass second = pass(first.text);
    Fuzzing::expect(!second.text.isNull(), "written packages read back");
    Fuzzing::expectSame(second.values, pass(second.text).values, "written packages keep their values");
    return 0;
}
