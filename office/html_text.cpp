// SPDX-License-Identifier: GPL-3.0-or-later
#include "office/html_text.h"

#include <QUrl>

namespace office {

QString html(const QString& text) {
    QString out;
    out.reserve(text.size() + text.size() / 8);
    for (const QChar c : text) {
        switch (c.unicode()) {
        case '&':
            out += QLatin1String("&amp;");
            break;
        case '<':
            out += QLatin1String("&lt;");
            break;
        case '>':
            out += QLatin1String("&gt;");
            break;
        case '"':
            out += QLatin1String("&quot;");
            break;
        case '\'':
            out += QLatin1String("&#39;");
            break;
        default:
            if ((c.unicode() < 0x20 && c != QLatin1Char('\t') && c != QLatin1Char('\n') &&
                 c != QLatin1Char('\r')) ||
                (c.unicode() >= 0x7f && c.unicode() < 0xa0))
                out += QChar(0xfffd);
            else
                out += c;
        }
    }
    return out;
}

QString queryValue(const QString& text) {
    return QString::fromLatin1(QUrl::toPercentEncoding(text));
}

} // namespace office
