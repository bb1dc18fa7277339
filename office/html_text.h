// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The one way text reaches a page: every character that could end an element, an attribute
// or a link is written as an entity or percent-escaped. Text from units and laptops (8-bit
// serials and data-set names, laptop names, reasons) is never written any other way.

#include <QByteArray>
#include <QString>

namespace office {

// For element content and quoted attribute values: & < > " ' as entities; control characters
// other than tab and line ends as U+FFFD (they have no place in a page).
QString html(const QString& text);
// A query value for a link: UTF-8, percent-escaped, safe inside an attribute.
QString queryValue(const QString& text);

} // namespace office
