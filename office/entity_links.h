// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The links the web service (sensor_things.h) writes into its entities: the service's root
// at the origin the client asked, an entity set, an entity by its key, a navigation from it.
// A key is written as a path takes it back (parseResourcePath): its '%' escaped, its quotes
// doubled.

#include <QString>

namespace office {

inline constexpr const char* kApiRoot = "/api/v1.1";

class Links {
public:
    explicit Links(QString origin) : m_base(std::move(origin) + QLatin1String(kApiRoot)) {}
    QString entity(const char* set, const QString& id, const char* then = nullptr) const {
        QString key = id;
        key.replace(QLatin1Char('%'), QLatin1String("%25"))
            .replace(QLatin1Char('\''), QLatin1String("''"));
        QString l = m_base + QLatin1Char('/') + QLatin1String(set) + QStringLiteral("('") + key +
                    QStringLiteral("')");
        if (then)
            l += QLatin1Char('/') + QLatin1String(then);
        return l;
    }
    QString set(const char* name) const { return m_base + QLatin1Char('/') + QLatin1String(name); }
    QString root() const { return m_base; }

private:
    QString m_base;
};

} // namespace office
