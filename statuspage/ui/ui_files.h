// Resource numbers of the status page's files (RCDATA in kovashare.dll).
#pragma once

#define ZRVD_UI_PAGE_HTML 101
#define ZRVD_UI_PAGE_CSS 102
#define ZRVD_UI_PAGE_JS 103
#define ZRVD_UI_UPLOT_JS 104
#define ZRVD_UI_UPLOT_CSS 105
#define ZRVD_UI_ICON_SVG 106
#define ZRVD_UI_LANG_EN 107
#define ZRVD_UI_LANG_ZH_CN 108
