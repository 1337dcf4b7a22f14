#include "app/status_page.h"

namespace sv {

std::string statusPageHTML(std::string_view text)
{
    std::string html = "<body style='font:15px -apple-system;color:#888;display:grid;place-items:center;height:90vh'>";
    html.reserve(html.size() + text.size() + 16);
    for (char c : text) {
        if (c == '<')
            html += "&lt;";
        else
            html += c;
    }
    html += "</body>";
    return html;
}

std::string userScriptSource(std::string_view version, std::int64_t build)
{
    std::string source = "window.SV_APP = {version: \"";
    source += version;
    source += "\", build: ";
    source += std::to_string(build);
    source += "};";
    return source;
}

} // namespace sv
