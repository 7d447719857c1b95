#pragma once

#include <QByteArray>
#include <QString>

struct ZeltoHttpRequest;
struct ZeltoHttpResponse;

// The files of one folder as a web server gives them out (the operators'
// console on the HTTP listener). A request path is the target's path as
// sent, percent-encoded; "/" stands for "/index.html". Whatever a path
// says, only regular files inside the folder are given: ".." and "."
// segments, hidden names (a segment starting with '.'), backslashes and NUL
// (encoded or not) are refused, and a file reached through a symbolic link
// that leads out of the folder is not found.
class ZeltoStaticFolder
{
public:
    struct File
    {
        int status = 404;            // 200 when found
        QString path;                // the file's canonical path when found
        QByteArray contentType;
    };

    explicit ZeltoStaticFolder(const QString &root);

    // The folder's canonical path; empty when it does not exist.
    QString root() const { return m_root; }
    File resolve(const QByteArray &requestPath) const;
    // A handler for the HTTP listener: GET and HEAD of the file the path
    // names, 404 for anything else found nowhere, 405 for other methods.
    // Browsers are told to ask again each time (an upgrade of the program
    // brings new files) and to load nothing but what this server gives.
    void serve(const ZeltoHttpRequest &request, ZeltoHttpResponse &response) const;
    // By the file name's suffix; application/octet-stream for unknown ones.
    static QByteArray contentType(const QString &fileName);

private:
    QString m_root;
};
