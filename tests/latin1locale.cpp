// Preloaded into the real launcher by the locale test: the process starts as
// on a unit whose locale is Latin-1, with a customer version that is not ASCII.
#include <QTextCodec>

#include "hostframework.h"

namespace {
const bool s_latin1 = [] {
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("ISO-8859-1"));
    HostFramework::setCustomerVersion(QString::fromUtf8("Bär"));
    return true;
}();
} // namespace
