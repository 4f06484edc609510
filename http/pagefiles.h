// The status page's files, embedded at build time by http/embed.cmake from
// http/page/ (the generated pagefiles.cc lives in the build directory).
#ifndef KESTREL_HTTP_PAGEFILES_H_
#define KESTREL_HTTP_PAGEFILES_H_

extern const unsigned char page_index_html[];
extern const unsigned long page_index_html_size;
extern const unsigned char page_style_css[];
extern const unsigned long page_style_css_size;
extern const unsigned char page_app_js[];
extern const unsigned long page_app_js_size;

#endif  // KESTREL_HTTP_PAGEFILES_H_
