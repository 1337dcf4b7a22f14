// Which OpenGL renderers count as software: what real drivers report. And
// which device nodes mean that a GPU may be there to draw with.

#include "platform/rendering.h"
#include "support/sandbox.h"

#include <gtest/gtest.h>

namespace sv::platform {
namespace {

TEST(SoftwareRenderer, MesaCpuRasterisersAndTheWslSoftwareAdapterAreSoftware)
{
    EXPECT_TRUE(isSoftwareRenderer("llvmpipe (LLVM 15.0.6, 256 bits)"));
    EXPECT_TRUE(isSoftwareRenderer("softpipe"));
    EXPECT_TRUE(isSoftwareRenderer("Mesa X11 (swrast)"));
    EXPECT_TRUE(isSoftwareRenderer("Software Rasterizer"));
    EXPECT_TRUE(isSoftwareRenderer("zink Vulkan 1.3(llvmpipe (LLVM 15.0.6, 256 bits) (MESA_LLVMPIPE))"));
    EXPECT_TRUE(isSoftwareRenderer("D3D12 (Microsoft Basic Render Driver)"));
}

TEST(SoftwareRenderer, GpusAndHostAcceleratedVirtualGpusAreNot)
{
    // Radeon strings name the LLVM that compiles their shaders; that is
    // still a GPU.
    EXPECT_FALSE(isSoftwareRenderer("AMD Radeon RX 6600 (navi23, LLVM 15.0.6, DRM 3.49, 6.1.0-13-amd64)"));
    EXPECT_FALSE(isSoftwareRenderer("Mesa Intel(R) UHD Graphics 620 (KBL GT2)"));
    EXPECT_FALSE(isSoftwareRenderer("NVIDIA GeForce RTX 3060/PCIe/SSE2"));
    EXPECT_FALSE(isSoftwareRenderer("virgl (AMD Radeon Pro 560X)"));
    EXPECT_FALSE(isSoftwareRenderer("SVGA3D; build: RELEASE;  LLVM;"));
    EXPECT_FALSE(isSoftwareRenderer("D3D12 (NVIDIA GeForce RTX 3060)"));
    EXPECT_FALSE(isSoftwareRenderer(""));
}

TEST(GpuDevice, DriverNodesCountAndNothingElse)
{
    test::Sandbox dev;
    // A virtual machine's or a container's device folder: no GPU to draw with.
    test::writeFile(dev / "null", "");
    test::writeFile(dev / "fb0", "");
    test::writeFile(dev / "dri/by-path/pci-0000:00:02.0-render", "");
    EXPECT_FALSE(hasGpuDevice(dev.path()));
    for (const char* node : { "dri/card0", "dri/renderD128", "nvidia0", "nvidiactl", "dxg", "mali0", "kgsl-3d0" }) {
        test::writeFile(dev / node, "");
        EXPECT_TRUE(hasGpuDevice(dev.path())) << node;
        std::filesystem::remove(dev / node);
    }
    // What cannot be looked into may hold one: OpenGL is then loaded, and
    // the renderer it names decides, as it always did.
    EXPECT_TRUE(hasGpuDevice(dev / "missing"));
    std::filesystem::remove_all(dev / "dri");
    test::writeFile(dev / "dri", "not a folder");
    EXPECT_TRUE(hasGpuDevice(dev.path()));
}

} // namespace
} // namespace sv::platform
