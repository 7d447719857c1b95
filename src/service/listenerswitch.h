#pragma once

#include <QString>
#include <QVariant>

#include <functional>

// One listener that follows its port setting (PortSetting) while the server
// runs: opened when the setting gives a port, moved when the port changes,
// closed when the setting is cleared. Closing or moving drops the
// listener's clients. The listener logs its own opening ("... слушает
// порт N") and a port it cannot open; the switch logs the closing and a
// value that is no port.
class ListenerSwitch
{
public:
    // open: listens on the port instead of any before, false when it cannot;
    // close: stops listening and drops the clients.
    using Open = std::function<bool(quint16 port)>;
    using Close = std::function<void()>;

    // setting: the setting's name; label: the listener's name in the log ("XML-RPC").
    ListenerSwitch(const QString &setting, const QString &label, Open open, Close close);

    const QString &setting() const { return m_setting; }
    // The setting's new value: the listener is opened, moved or closed as
    // it says. The port it listens on already changes nothing; a port that
    // failed to open is tried again.
    void apply(const QVariant &value);
    // The listener is closed, whatever the setting says (the server stops).
    void close();

private:
    QString m_setting;
    QString m_label;
    Open m_opener;
    Close m_closer;
    quint16 m_port = 0;         // the port the setting gave last; 0 for none
    bool m_listening = false;   // m_port is open
};
