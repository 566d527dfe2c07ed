#pragma once

#include <QJsonObject>
#include <QJsonValue>
#include <QSet>
#include <QString>

// Reads and writes one preset record through its visit() field list.
//
// Reading: a field absent from the object keeps its current value; a field of the wrong type
// (a string for an int, 2.5 for an int, a number for a bool ...) or a key the record does not
// have is an error, reported as "<record>.<field>: <what is wrong>".
class PresetJson
{
public:
    template <class Record> static QJsonObject write(const Record& record)
    {
        Writer w;
        const_cast<Record&>(record).visit(w); // Writer only reads the fields
        return w.object;
    }

    template <class Record>
    static bool read(const QJsonValue& value, const QString& name, Record& record, QString* error)
    {
        if (value.isUndefined())
            return true;
        if (!value.isObject())
            return fail(error, name + QStringLiteral(": expected an object"));
        Reader r(value.toObject(), name);
        record.visit(r);
        if (r.error.isEmpty())
            r.checkUnknownKeys();
        if (!r.error.isEmpty())
            return fail(error, r.error);
        return true;
    }

    static bool fail(QString* error, const QString& text);

private:
    struct Writer
    {
        QJsonObject object;
        void operator()(const char* key, bool& v) { object.insert(QLatin1String(key), v); }
        void operator()(const char* key, int& v) { object.insert(QLatin1String(key), v); }
        void operator()(const char* key, double& v) { object.insert(QLatin1String(key), v); }
        void operator()(const char* key, QString& v) { object.insert(QLatin1String(key), v); }
    };

    struct Reader
    {
        Reader(const QJsonObject& o, const QString& n) : object(o), name(n) {}
        void operator()(const char* key, bool& v);
        void operator()(const char* key, int& v);
        void operator()(const char* key, double& v);
        void operator()(const char* key, QString& v);
        void checkUnknownKeys();

        const QJsonObject object;
        const QString name;
        QSet<QString> known;
        QString error; // first error only
    private:
        bool take(const char* key, QJsonValue& out);
        void wrongType(const char* key, const char* expected);
    };
};
