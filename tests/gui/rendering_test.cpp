// Drawing paths on a display whose only OpenGL is a software rasteriser, as
// under Xvfb: the toolkit draws with cairo and the web engine composites on
// the CPU. And the first-frame hook the start-up waits on.

#include "platform/application.h"
#include "platform/environment.h"
#include "platform/rendering.h"
#include "platform/web_view.h"
#include "platform/window.h"
#include "support/wait.h"

#include <gtk/gtk.h>
#include <webkit/webkit.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace sv::platform {
namespace {

class Rendering : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(initToolkit()) << "these tests need a display"; }

    void open()
    {
        view = WebView::create({});
        window = Window::create({ "Sandvoll", 640, 480, 320, 240, {} }, *view);
    }

    std::unique_ptr<WebView> view;
    std::unique_ptr<Window> window;
};

TEST_F(Rendering, SoftwareGlLeadsToCairoAndCpuCompositing)
{
    g_unsetenv("GSK_RENDERER");
    chooseRendering();
    ASSERT_TRUE(softwareRendering()) << "Xvfb offers software OpenGL only";
    // The choice is the app's own: children do not inherit it.
    EXPECT_STREQ(g_getenv("GSK_RENDERER"), "cairo");
    for (const auto& entry : environmentForChildren())
        EXPECT_FALSE(entry.starts_with("GSK_RENDERER=")) << entry;
    open();
    window->present();
    GtkWidget* widget = static_cast<GtkWidget*>(view->widget());
    ASSERT_TRUE(test::waitFor([&] { return gtk_widget_get_mapped(widget); }));
    GskRenderer* renderer = gtk_native_get_renderer(gtk_widget_get_native(widget));
    ASSERT_NE(renderer, nullptr);
    EXPECT_STREQ(G_OBJECT_TYPE_NAME(renderer), "GskCairoRenderer");
    WebKitSettings* settings = webkit_web_view_get_settings(WEBKIT_WEB_VIEW(widget));
    EXPECT_EQ(webkit_settings_get_hardware_acceleration_policy(settings), WEBKIT_HARDWARE_ACCELERATION_POLICY_NEVER);
}

TEST_F(Rendering, ARendererTheUserChoseIsKept)
{
    g_setenv("GSK_RENDERER", "ngl", TRUE);
    chooseRendering();
    EXPECT_STREQ(g_getenv("GSK_RENDERER"), "ngl");
    // and handed on as the user set it.
    const auto children = environmentForChildren();
    EXPECT_NE(std::find(children.begin(), children.end(), "GSK_RENDERER=ngl"), children.end());
}

TEST_F(Rendering, AfterFirstFrameRunsOnceTheWindowHasDrawn)
{
    open();
    window->present();
    GtkWidget* widget = static_cast<GtkWidget*>(view->widget());
    GdkFrameClock* clock = gtk_widget_get_frame_clock(widget);
    ASSERT_NE(clock, nullptr);
    int paints = 0;
    g_signal_connect_swapped(clock, "paint", G_CALLBACK(+[](int* count) { ++*count; }), &paints);
    int paintsSeen = -1;
    int calls = 0;
    window->afterFirstFrame([&] {
        paintsSeen = paints;
        ++calls;
    });
    ASSERT_TRUE(test::waitFor([&] { return calls > 0; }));
    EXPECT_GE(paintsSeen, 1);
    // It runs once only, whatever the window draws later.
    gtk_widget_queue_draw(widget);
    const int before = paints;
    ASSERT_TRUE(test::waitFor([&] { return paints > before; }));
    EXPECT_EQ(calls, 1);
    g_signal_handlers_disconnect_by_data(clock, &paints);
}

TEST_F(Rendering, AfterFirstFrameStillRunsForAWindowThatNeverDraws)
{
    open(); // never shown
    bool ran = false;
    window->afterFirstFrame([&] { ran = true; });
    EXPECT_TRUE(test::waitFor([&] { return ran; }, std::chrono::seconds(5)));
}

TEST(GlDisabledNotice, OnlyTheEnginesOwnNoticeIsDropped)
{
    // In a child of its own: the log writer can be set once per process,
    // and this one has the toolkit up.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const auto logOne = [](const char* message) {
        quietenGlDisabledNotice();
        g_warning("%s", message);
        std::fputs("end\n", stderr);
        std::exit(0);
    };
    EXPECT_EXIT(logOne("Disabled hardware acceleration because GTK failed to initialize GL: GL support disabled via "
                       "GDK_DEBUG."),
        testing::ExitedWithCode(0), testing::MatchesRegex("end\n"));
    EXPECT_EXIT(logOne("Disabled hardware acceleration because the GPU hung"), testing::ExitedWithCode(0),
        testing::AllOf(testing::HasSubstr("WARNING **: "), testing::HasSubstr("because the GPU hung\nend\n")));
}

} // namespace
} // namespace sv::platform
