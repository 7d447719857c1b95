// Node package documents, as importNodes takes them: the table XML reader,
// then each package it gives through the node import into a database whose
// transaction is rolled back after every input. The packages read are also
// written again, and that text must read back to the same text.
#include "fuzzing.h"
#include "metadatacatalogue.h"
#include "nodeimport.h"
#include "tablexmlreader.h"
#include "tablexmlwriter.h"
#include "tempdatabasehome.h"
#include "transactionscope.h"

#include <cstdlib>

namespace {

// The packages' document written again; null when the text is refused.
QString again(const QString &text)
{
    TableXmlReader reader(text);
    if (!reader.readNodesDocument())
        return QString();
    TableXmlWriter writer;
    writer.writeNodesDocument(reader.nodes());
    return writer.text();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    Fuzzing::startApplication(argc, argv);
    // The shipped device models, and a database in a folder of its own.
    qputenv("ORVEX_DATA_DIR", ORVEX_SOURCE_DIR);
    static TempDatabaseHome *home = new TempDatabaseHome;
    Fuzzing::expect(home->open(), "the database opens");
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
        TransactionScope scope;
        Fuzzing::expect(scope.isActive(), "a transaction begins");
        for (const QVariant &package : reader.nodes())
            NodeImport::importNode(package);
    }

    const QString once = again(text);
    if (!once.isNull())
        Fuzzing::expect(again(once) == once, "written packages read back to the same text");
    return 0;
}
