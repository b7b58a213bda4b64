# Runs after the framework has written the LV2 bundle's turtle files: declares the
# plug-in a member of CLASS (e.g. lv2:DistortionPlugin) besides lv2:Plugin, which is
# all the framework's wrapper writes, so that LV2 hosts file it under that kind of
# effect. Running it again changes nothing.
#
#   cmake -D BUNDLE=<path to the .lv2 folder> -D CLASS=lv2:DistortionPlugin -P Lv2PluginClass.cmake
if (NOT BUNDLE OR NOT CLASS)
    message (FATAL_ERROR "usage: cmake -D BUNDLE=<bundle.lv2> -D CLASS=<lv2:Class> -P ${CMAKE_SCRIPT_MODE_FILE}")
endif()

set (data "${BUNDLE}/dsp.ttl")

if (NOT EXISTS "${data}")
    message (FATAL_ERROR "${data} is missing: the framework has not written the bundle's data")
endif()

file (READ "${data}" turtle)

if (turtle MATCHES "\ta lv2:Plugin , ${CLASS} ;\n")
    return()
endif()

set (plain "\ta lv2:Plugin ;\n")
string (FIND "${turtle}" "${plain}" at)

if (at LESS 0)
    message (FATAL_ERROR "${data} declares no plain lv2:Plugin to add ${CLASS} to")
endif()

string (REPLACE "${plain}" "\ta lv2:Plugin , ${CLASS} ;\n" turtle "${turtle}")
file (WRITE "${data}" "${turtle}")
