#include "platform/mf/RenderNodeProbe.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <unistd.h>

QString RenderNodeProbe::vendorName(const QByteArray& pciId)
{
    if (pciId == kIntel)
        return QStringLiteral("Intel");
    if (pciId == kAmd)
        return QStringLiteral("AMD");
    if (pciId == "0x10de")
        return QStringLiteral("NVIDIA");
    return pciId.isEmpty() ? QStringLiteral("unknown vendor") : QString::fromLatin1(pciId);
}

QString RenderNodeProbe::Choice::describe() const
{
    QString what = node.vendorName();
    if (!node.driver.isEmpty())
        what += QLatin1Char(' ') + node.driver;
    if (lowPower)
        what += QStringLiteral(", low power");
    return QStringLiteral("%1 (%2)").arg(QString::fromLatin1(node.path), what);
}

std::vector<RenderNodeProbe::Node> RenderNodeProbe::listNodes(const QString& devDir,
                                                              const QString& sysDir)
{
    std::vector<Node> nodes;
    for (int i = 128; i < 192; ++i) {
        const QString name = QStringLiteral("renderD%1").arg(i);
        const QByteArray path = QFile::encodeName(devDir + QLatin1Char('/') + name);
        if (::access(path.constData(), R_OK | W_OK) != 0)
            continue;
        Node node;
        node.path = path;
        const QString device = sysDir + QLatin1Char('/') + name + QStringLiteral("/device");
        QFile vendor(device + QStringLiteral("/vendor"));
        if (vendor.open(QIODevice::ReadOnly))
            node.pciId = vendor.readAll().trimmed().toLower();
        // The driver link points at the kernel driver's folder: its name is the driver's.
        const QString driver = QFileInfo(device + QStringLiteral("/driver")).symLinkTarget();
        if (!driver.isEmpty())
            node.driver = QFileInfo(driver).fileName();
        nodes.push_back(node);
    }
    return nodes;
}

bool RenderNodeProbe::choose(const std::vector<Node>& nodes, const QByteArray& pciId,
                             const TryOpen& tryOpen, Choice* choice, QString* why)
{
    QStringList refused;
    QStringList others;
    for (const Node& node : nodes) {
        if (node.pciId != pciId) {
            others << QStringLiteral("%1: %2").arg(QString::fromLatin1(node.path),
                                                   node.vendorName());
            continue;
        }
        for (const bool lowPower : {false, true}) {
            if (tryOpen(node, lowPower)) {
                choice->node = node;
                choice->lowPower = lowPower;
                return true;
            }
        }
        refused << QString::fromLatin1(node.path);
    }
    const QString vendor = vendorName(pciId);
    if (!refused.isEmpty())
        *why = QStringLiteral("the %1 GPU refused the encoder at full and low power (%2)")
                   .arg(vendor, refused.join(QStringLiteral(", ")));
    else if (!others.isEmpty())
        *why = QStringLiteral("no %1 GPU (%2)").arg(vendor, others.join(QStringLiteral("; ")));
    else
        *why = QStringLiteral("no GPU (no render node under /dev/dri that this user may open)");
    return false;
}
