#include "page.h"

namespace tessaro::sim {

// Defined by the sources that the build embeds page/ into.
extern const char kPageHtml[], kPageJs[], kPageCss[], kPageIcon[];
extern const size_t kPageHtml_size, kPageJs_size, kPageCss_size, kPageIcon_size;

const std::vector<PageFile>& page_files() {
    static const std::vector<PageFile> files = {
        {"/", kPageHtml, kPageHtml_size, "text/html; charset=utf-8"},
        {"/app.js", kPageJs, kPageJs_size, "text/javascript; charset=utf-8"},
        {"/style.css", kPageCss, kPageCss_size, "text/css; charset=utf-8"},
        // Named by the page, so that the browser asks for no /favicon.ico.
        {"/favicon.svg", kPageIcon, kPageIcon_size, "image/svg+xml"},
    };
    return files;
}

}  // namespace tessaro::sim
