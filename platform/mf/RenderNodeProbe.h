#pragma once

#include <QByteArray>
#include <QString>
#include <functional>
#include <vector>

// Finds the GPU that serves a vendor's VA-API encoder. A machine may have several render nodes
// (an integrated Intel GPU and a discrete AMD one, say) in any order, and Intel's newer GPUs
// encode through the low-power entry point only, so every node of the vendor is tried, each
// with the full-power entry point first and then low power; the first that opens wins.
//
// The node list and the decision are separate so that both can be checked without a GPU: the
// list is read from a device and a sysfs folder that a caller may point elsewhere, and the
// decision asks a function whether an encoder opens. Stateless; any thread.
class RenderNodeProbe
{
public:
    struct Node
    {
        QByteArray path;  // "/dev/dri/renderD128"
        QByteArray pciId; // PCI vendor id, "0x8086"; empty when sysfs does not say
        QString driver;   // the kernel driver ("i915", "amdgpu"), empty when unknown
        QString vendorName() const { return RenderNodeProbe::vendorName(pciId); }
    };
    struct Choice
    {
        Node node;
        bool lowPower = false;
        // "/dev/dri/renderD129 (Intel i915, low power)"
        QString describe() const;
    };
    // Whether the encoder opens on the node with the given entry point.
    using TryOpen = std::function<bool(const Node& node, bool lowPower)>;

    static constexpr const char* kIntel = "0x8086";
    static constexpr const char* kAmd = "0x1002";
    // "Intel", "AMD", "NVIDIA" or the PCI id itself.
    static QString vendorName(const QByteArray& pciId);

    // The render nodes renderD128 to renderD191 under devDir that this process may open for
    // reading and writing, in number order, with their vendor and driver from sysDir.
    static std::vector<Node> listNodes(const QString& devDir = QStringLiteral("/dev/dri"),
                                       const QString& sysDir = QStringLiteral("/sys/class/drm"));

    // The first node of the vendor on which tryOpen succeeds, full power before low power on
    // each node. False with *why saying what was missing or refused.
    static bool choose(const std::vector<Node>& nodes, const QByteArray& pciId,
                       const TryOpen& tryOpen, Choice* choice, QString* why);
};
