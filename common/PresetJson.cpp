#include "common/PresetJson.h"

#include <cmath>
#include <limits>

bool PresetJson::fail(QString* error, const QString& text)
{
    if (error)
        *error = text;
    return false;
}

bool PresetJson::Reader::take(const char* key, QJsonValue& out)
{
    known.insert(QLatin1String(key));
    if (!error.isEmpty())
        return false;
    out = object.value(QLatin1String(key));
    return !out.isUndefined();
}

void PresetJson::Reader::wrongType(const char* key, const char* expected)
{
    error =
        QStringLiteral("%1.%2: expected %3").arg(name, QLatin1String(key), QLatin1String(expected));
}

void PresetJson::Reader::operator()(const char* key, bool& v)
{
    QJsonValue j;
    if (!take(key, j))
        return;
    if (!j.isBool())
        return wrongType(key, "true or false");
    v = j.toBool();
}

void PresetJson::Reader::operator()(const char* key, int& v)
{
    QJsonValue j;
    if (!take(key, j))
        return;
    const double d = j.toDouble(std::numeric_limits<double>::quiet_NaN());
    if (!j.isDouble() || d != std::floor(d) || d < std::numeric_limits<int>::min() ||
        d > std::numeric_limits<int>::max())
        return wrongType(key, "a whole number");
    v = static_cast<int>(d);
}

void PresetJson::Reader::operator()(const char* key, double& v)
{
    QJsonValue j;
    if (!take(key, j))
        return;
    if (!j.isDouble())
        return wrongType(key, "a number");
    v = j.toDouble();
}

void PresetJson::Reader::operator()(const char* key, QString& v)
{
    QJsonValue j;
    if (!take(key, j))
        return;
    if (!j.isString())
        return wrongType(key, "a string");
    v = j.toString();
}

void PresetJson::Reader::checkUnknownKeys()
{
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (!known.contains(it.key())) {
            error = QStringLiteral("%1.%2: unknown field").arg(name, it.key());
            return;
        }
    }
}
