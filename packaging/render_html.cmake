# SPDX-License-Identifier: GPL-3.0-or-later
# Renders one Markdown document of docs/ as a page of its own for the installed guide:
#   cmake -DCMARK=cmark-gfm -DINPUT=docs/guide.md -DOUTPUT=.../guide.html -P render_html.cmake
# GitHub-flavoured Markdown (the guide has tables), raw HTML left out. Links to the other
# documents ("performance.md") point at their rendered pages, which lie in the same folder.
# The page loads nothing from elsewhere: it is read offline, from /usr/share/doc.
foreach(var CMARK INPUT OUTPUT)
    if(NOT DEFINED ${var})
        message(FATAL_ERROR "render_html.cmake needs -D${var}=...")
    endif()
endforeach()

execute_process(
    COMMAND ${CMARK} --extension table --extension autolink --extension strikethrough
            --to html ${INPUT}
    OUTPUT_VARIABLE body
    RESULT_VARIABLE failed)
if(failed)
    message(FATAL_ERROR "${CMARK} could not render ${INPUT}")
endif()
string(REGEX REPLACE "href=\"([A-Za-z0-9_.-]+)\\.md([\"#])" "href=\"\\1.html\\2" body "${body}")

# The first heading is the page's title.
if(body MATCHES "<h1>([^<]*)</h1>")
    set(title "${CMAKE_MATCH_1}")
else()
    get_filename_component(title ${INPUT} NAME_WE)
endif()

file(WRITE ${OUTPUT} "<!DOCTYPE html>
<html lang=\"en\">
<head>
<meta charset=\"utf-8\">
<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">
<title>${title}</title>
<style>
body { font-family: sans-serif; line-height: 1.45; max-width: 60em; margin: 1em auto; padding: 0 1em; }
table { border-collapse: collapse; margin: 1em 0; }
th, td { border: 1px solid #999; padding: 0.25em 0.5em; vertical-align: top; text-align: left; }
th { background: #eee; }
code, pre { background: #f4f4f4; font-size: 0.95em; }
pre { padding: 0.5em; overflow-x: auto; }
img { max-width: 100%; height: auto; }
</style>
</head>
<body>
${body}</body>
</html>
")
