#pragma once
// How the app draws: with the GPU when there is one, and with the CPU's own
// paths when the only OpenGL on offer is a software rasteriser. Emulating GL
// on the CPU (Mesa's llvmpipe, as on a virtual machine or under Xvfb) makes
// both the toolkit's renderer and the web engine's compositing slower to
// first paint and costs them about 170 MiB, where plain CPU drawing is the
// faster path.

#include <filesystem>
#include <string_view>

namespace sv::platform {

// Whether an OpenGL renderer string names a software rasteriser.
[[nodiscard]] bool isSoftwareRenderer(std::string_view renderer);

// Whether the device folder `dev` holds a node through which a GPU driver
// draws: DRM's cards and render nodes (every Mesa driver, virtual GPUs
// included), NVIDIA's, WSL's, and those of the ARM vendors' own drivers. A
// folder that cannot be read counts as holding one.
[[nodiscard]] bool hasGpuDevice(const std::filesystem::path& dev);

// Before the toolkit starts. Without a GPU device, the only OpenGL the
// toolkit could load is a software rasteriser, which chooseRendering() then
// sets aside; loading it (Mesa and its LLVM, in the app and for the web
// engine) costs the launch about 150 ms. So the toolkit is told to load no
// OpenGL at all, unless the user chose a renderer through GSK_RENDERER or
// set the toolkit's own GDK_DEBUG or GDK_DISABLE.
// Call on the main thread, before any other thread runs.
void prepareRendering();

// The web engine then warns at every start that it "failed to initialize
// GL", which was the app's choice, not a failure: this drops that one
// message and lets every other through. Once per process, before anything
// is logged.
void quietenGlDisabledNotice();

// Looks at the display's OpenGL once the toolkit is up, before the first
// window is shown, and picks the drawing paths to match. A renderer the user
// chose through GSK_RENDERER is left alone.
void chooseRendering();

// True when chooseRendering() found no OpenGL but a software one, or none.
[[nodiscard]] bool softwareRendering();

} // namespace sv::platform
