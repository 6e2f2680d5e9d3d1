// Preloaded into the real launcher by the locale test: the process starts as
// on a unit whose locale is Latin-1, with a customer version that is not ASCII.
#include <QTextCodec>

#include "hostframework.h"

__attribute__((constructor)) static void startAsOnALatin1Unit()
{
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("ISO-8859-1"));
    HostFramework::setCustomerVersion(QString::fromUtf8("Bär"));
}
