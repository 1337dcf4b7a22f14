#include "platform/rendering.h"

#include "platform/environment.h"
#include "platform/gobject_ptr.h"

#include <epoxy/gl.h>
#include <gtk/gtk.h>

#include <array>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

namespace sv::platform {
namespace {

bool software = false;

// The renderer string of the display's OpenGL, or nothing when there is none.
std::optional<std::string> glRenderer()
{
    GdkDisplay* display = gdk_display_get_default();
    if (!display)
        return std::nullopt;
    GError* error = nullptr;
    auto context = GRef<GdkGLContext>::adopt(gdk_display_create_gl_context(display, &error));
    if (!context || !gdk_gl_context_realize(context.get(), &error)) {
        g_clear_error(&error);
        return std::nullopt;
    }
    gdk_gl_context_make_current(context.get());
    const auto* name = reinterpret_cast<const char*>(glGetString(GL_RENDERER));
    std::string renderer = name ? name : "";
    gdk_gl_context_clear_current();
    return renderer;
}

constexpr std::string_view glDisabledNotice = "Disabled hardware acceleration because GTK failed to initialize GL";

GLogWriterOutput writeLogWithoutGlNotice(GLogLevelFlags level, const GLogField* fields, gsize count, gpointer data)
{
    for (gsize i = 0; i < count; ++i) {
        if (std::string_view(fields[i].key) != "MESSAGE" || fields[i].length != -1)
            continue;
        if (std::string_view(static_cast<const char*>(fields[i].value)).starts_with(glDisabledNotice))
            return G_LOG_WRITER_HANDLED;
    }
    return g_log_writer_default(level, fields, count, data);
}

} // namespace

bool isSoftwareRenderer(std::string_view renderer)
{
    // Mesa's CPU rasterisers, alone or under a layered driver ("zink
    // (llvmpipe …)"), and the software adapter Direct3D offers to WSL.
    static constexpr std::array names {
        std::string_view("llvmpipe"),
        std::string_view("softpipe"),
        std::string_view("swrast"),
        std::string_view("Software Rasterizer"),
        std::string_view("Microsoft Basic Render Driver"),
    };
    for (auto name : names) {
        if (renderer.find(name) != std::string_view::npos)
            return true;
    }
    return false;
}

bool hasGpuDevice(const std::filesystem::path& dev)
{
    namespace fs = std::filesystem;
    const auto anyNamed = [](const fs::path& folder, bool (*isGpu)(std::string_view), bool unreadable) {
        std::error_code error;
        fs::directory_iterator entry(folder, error);
        for (; !error && entry != fs::directory_iterator(); entry.increment(error)) {
            if (isGpu(entry->path().filename().native()))
                return true;
        }
        return error ? unreadable : false;
    };
    // No DRM folder is the usual way of having no DRM device.
    if (anyNamed(dev / "dri", [](std::string_view name) { return name.starts_with("card") || name.starts_with("renderD"); },
            fs::exists(dev / "dri")))
        return true;
    return anyNamed(dev, [](std::string_view name) {
        return name.starts_with("nvidia") || name == "dxg" || name.starts_with("mali") || name.starts_with("kgsl");
    }, true);
}

void quietenGlDisabledNotice() { g_log_set_writer_func(writeLogWithoutGlNotice, nullptr, nullptr); }

void prepareRendering()
{
    // A user who set the toolkit's own switches keeps them, and its usual path.
    if (std::getenv("GSK_RENDERER") || std::getenv("GDK_DEBUG") || std::getenv("GDK_DISABLE") || hasGpuDevice("/dev"))
        return;
    // Until GTK 4.16 the switch is a debug flag; from then on it is in
    // GDK_DISABLE, and GTK 4.18 warns at every start about the old flag. Each
    // version gets only the one it knows. (Reading the library's version
    // touches none of its state: the toolkit has not started yet.)
    if (gtk_get_major_version() == 4 && gtk_get_minor_version() < 16)
        setOwnVariable("GDK_DEBUG", "gl-disable");
    else
        setOwnVariable("GDK_DISABLE", "gl");
    quietenGlDisabledNotice();
}

void chooseRendering()
{
    const auto renderer = glRenderer();
    software = !renderer || isSoftwareRenderer(*renderer);
    // GTK reads the variable when it makes the first window's renderer. It
    // is the app's own choice: the server and a relaunched app must not
    // inherit it.
    if (software)
        setOwnVariable("GSK_RENDERER", "cairo");
}

bool softwareRendering() { return software; }

} // namespace sv::platform
