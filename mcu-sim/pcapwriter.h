#ifndef PCAPWRITER_H
#define PCAPWRITER_H

#include <QFile>
#include <QStringList>

// The link as a pcapng capture taken at the MCU's end: one packet per frame
// with its wire bytes, the launcher's frames inbound and the MCU's outbound in
// each packet's direction flag, the session's facts as capture comments. The
// link type is USER0, which the mculink dissector claims.
class PcapWriter
{
public:
    enum : quint16 { LinkType = 147 }; // LINKTYPE_USER0

    bool open(const QString &path, const QStringList &comments, const QString &interfaceName,
              QString *error);
    bool isOpen() const { return m_file.isOpen(); }
    // direction '<': launcher to MCU, '>': MCU to launcher.
    void packet(char direction, qint64 usecsSinceEpoch, const QByteArray &bytes);

private:
    void block(quint32 type, const QByteArray &body);

    QFile m_file;
};

#endif
