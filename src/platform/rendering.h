#pragma once
// How the app draws: with the GPU when there is one, and with the CPU's own
// paths when the only OpenGL on offer is a software rasteriser. Emulating GL
// on the CPU (Mesa's llvmpipe, as on a virtual machine or under Xvfb) makes
// both the toolkit's renderer and the web engine's compositing slower to
// first paint and costs them about 170 MiB, where plain CPU drawing is the
// faster path.

#include <string_view>

namespace sv::platform {

// Whether an OpenGL renderer string names a software rasteriser.
[[nodiscard]] bool isSoftwareRenderer(std::string_view renderer);

// Looks at the display's OpenGL once the toolkit is up, before the first
// window is shown, and picks the drawing paths to match. A renderer the user
// chose through GSK_RENDERER is left alone.
void chooseRendering();

// True when chooseRendering() found no OpenGL but a software one, or none.
[[nodiscard]] bool softwareRendering();

} // namespace sv::platform
