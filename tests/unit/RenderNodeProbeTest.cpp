#include "platform/mf/RenderNodeProbe.h"
#include "EncodedPacket.h"
#include "codec/video/VideoCodecFactory.h"
#include "platform/mf/MFGuid.h"
#include "platform/mf/MFLibavTransform.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

using Node = RenderNodeProbe::Node;

Node node(int number, const char* pciId, const char* driver)
{
    return Node{"/dev/dri/renderD" + QByteArray::number(number), pciId,
                QString::fromLatin1(driver)};
}

const Node kAmd = node(128, RenderNodeProbe::kAmd, "amdgpu");
const Node kIntel = node(129, RenderNodeProbe::kIntel, "i915");

// The encoders that open on a machine ("h264_vaapi@/dev/dri/renderD129:low", "h264_qsv"); every
// try is recorded in order.
struct Machine
{
    explicit Machine(QStringList opening = {}) : opens(std::move(opening)) {}
    QStringList opens;
    QStringList tried;
    MFLibavTransform::GpuProbe probe(const std::vector<Node>& nodes, bool nvidia = false)
    {
        return MFLibavTransform::probeGpuEncoders(
            nodes, nvidia, [this](const char* encoder, bool, const QByteArray& path, bool low) {
                QString what = QLatin1String(encoder);
                if (!path.isEmpty())
                    what += QLatin1Char('@') + QLatin1String(path) +
                            (low ? QStringLiteral(":low") : QStringLiteral(":full"));
                tried << what;
                return opens.contains(what);
            });
    }
};

QString deviceOf(const MFLibavTransform::GpuProbe& probe, const GUID& id)
{
    const auto* found = probe.find(id);
    return found ? found->device : QStringLiteral("refused: ") + probe.refused.at(id);
}

} // namespace

// The nodes this process may open, in number order, with vendor and driver read from sysfs.
TEST(RenderNodeProbe, ListsNodesWithTheirVendorAndDriver)
{
    QTemporaryDir root;
    QDir dir(root.path());
    ASSERT_TRUE(dir.mkpath("dev") && dir.mkpath("sys/drivers/amdgpu") &&
                dir.mkpath("sys/drivers/i915"));
    const auto device = [&](int number, const char* vendor, const char* driver) {
        const QString name = QStringLiteral("renderD%1").arg(number);
        QFile(dir.filePath("dev/" + name)).open(QIODevice::WriteOnly);
        const QString sys = dir.filePath("sys/" + name + "/device");
        ASSERT_TRUE(dir.mkpath(sys));
        QFile v(sys + "/vendor");
        ASSERT_TRUE(v.open(QIODevice::WriteOnly));
        v.write(QByteArray(vendor) + '\n');
        if (driver)
            QFile::link(dir.filePath(QStringLiteral("sys/drivers/") + driver), sys + "/driver");
    };
    device(130, "0x8086", "i915");
    device(128, "0x1002", "amdgpu");
    device(131, "0x1AF4", nullptr);
    QFile(dir.filePath("dev/card0")).open(QIODevice::WriteOnly); // not a render node

    const auto nodes = RenderNodeProbe::listNodes(dir.filePath("dev"), dir.filePath("sys"));
    ASSERT_EQ(nodes.size(), 3u);
    EXPECT_EQ(nodes[0].path, QFile::encodeName(dir.filePath("dev/renderD128")));
    EXPECT_EQ(nodes[0].vendorName() + ' ' + nodes[0].driver, "AMD amdgpu");
    EXPECT_EQ(nodes[1].vendorName() + ' ' + nodes[1].driver, "Intel i915");
    EXPECT_EQ(nodes[2].vendorName() + '|' + nodes[2].driver, "0x1af4|");
}

// Each vendor's names take the first node of that vendor that opens the encoder, full power
// before low power, whatever the order of the GPUs; Intel's runtime comes first where it opens.
TEST(RenderNodeProbe, EachVendorFindsItsGpuAndEntryPoint)
{
    Machine twoGpus({"h264_vaapi@/dev/dri/renderD129:low", "hevc_vaapi@/dev/dri/renderD129:low",
                     "h264_vaapi@/dev/dri/renderD128:full", "hevc_vaapi@/dev/dri/renderD128:full"});
    const auto probe = twoGpus.probe({kAmd, kIntel});
    EXPECT_EQ(deviceOf(probe, MFGuids::CLSID_IntelH264Encoder),
              "VA-API /dev/dri/renderD129 (Intel i915, low power)");
    EXPECT_EQ(deviceOf(probe, MFGuids::CLSID_AmdH264Encoder),
              "VA-API /dev/dri/renderD128 (AMD amdgpu)");
    EXPECT_EQ(deviceOf(probe, MFGuids::CLSID_AmdHevcEncoder),
              "VA-API /dev/dri/renderD128 (AMD amdgpu)");
    EXPECT_EQ(deviceOf(probe, MFGuids::CLSID_NvidiaH264Encoder),
              "refused: no NVIDIA driver loaded");
    const auto& intel = probe.find(MFGuids::CLSID_IntelH264Encoder)->backend;
    EXPECT_TRUE(intel.lowPower && intel.renderNode == kIntel.path && !intel.hevc);
    // The Intel node was asked at full power first; the AMD node never for Intel's names.
    EXPECT_EQ(twoGpus.tried.mid(0, 3),
              (QStringList{"h264_qsv", "h264_vaapi@/dev/dri/renderD129:full",
                           "h264_vaapi@/dev/dri/renderD129:low"}));

    Machine mediaSdk({"h264_qsv", "hevc_qsv", "h264_nvenc"});
    const auto sdk = mediaSdk.probe({kIntel}, true);
    EXPECT_EQ(deviceOf(sdk, MFGuids::CLSID_IntelH264Encoder), "Intel Media SDK");
    EXPECT_EQ(deviceOf(sdk, MFGuids::CLSID_NvidiaH264Encoder), "NVIDIA driver");
    EXPECT_EQ(deviceOf(sdk, MFGuids::CLSID_NvidiaHevcEncoder), "refused: hevc_nvenc did not open");
}

// A name without its GPU is refused with what was missing: no GPU at all, only another
// vendor's, or the vendor's GPU refusing both entry points.
TEST(RenderNodeProbe, SaysWhyANameHasNoGpu)
{
    Machine none;
    EXPECT_EQ(deviceOf(none.probe({}), MFGuids::CLSID_AmdH264Encoder),
              "refused: no GPU (no render node under /dev/dri that this user may open)");
    EXPECT_TRUE(none.tried.isEmpty());

    Machine amdOnly({"h264_vaapi@/dev/dri/renderD128:full"});
    const auto amd = amdOnly.probe({kAmd});
    EXPECT_EQ(deviceOf(amd, MFGuids::CLSID_IntelH264Encoder),
              "refused: no Intel GPU (/dev/dri/renderD128: AMD)");
    EXPECT_EQ(deviceOf(amd, MFGuids::CLSID_AmdHevcEncoder),
              "refused: the AMD GPU refused the encoder at full and low power "
              "(/dev/dri/renderD128)");
}

// On a machine without a GPU every vendor name is refused at once, saying so.
TEST(RenderNodeProbe, VendorNamesWithoutAGpuAreRefused)
{
    if (!RenderNodeProbe::listNodes().empty())
        GTEST_SKIP() << "this machine has a render node";
    for (const char* name : {"H264(QuickSync)", "HEVC(QuickSync)", "H264(AMF)", "HEVC(AMF)"}) {
        SCOPED_TRACE(name);
        EXPECT_NE(initialized(VideoCodecFactory::create(QLatin1String(name)), videoPreset(name),
                              "cannot encode on this machine: no GPU"),
                  nullptr);
    }
}
