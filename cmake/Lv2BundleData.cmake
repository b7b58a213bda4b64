# Runs after the framework has written the LV2 bundle's turtle files, and adds what
# its wrapper cannot declare:
# - the plug-in's CLASS (e.g. lv2:DistortionPlugin) besides lv2:Plugin, so that LV2
#   hosts file it under that kind of effect;
# - the pedal's four settings as control input ports after the wrapper's own ports,
#   in the order and with the defaults of source/lv2/Lv2SettingPorts.h. Hosts that keep
#   an effect's settings as port values only (Audacity) reach the pedal's store
#   through them. They are settings, not automation: pprop:notAutomatic.
# Running it again changes nothing.
#
#   cmake -D BUNDLE=<path to the .lv2 folder> -D CLASS=lv2:DistortionPlugin -P Lv2BundleData.cmake
if (NOT BUNDLE OR NOT CLASS)
    message (FATAL_ERROR "usage: cmake -D BUNDLE=<bundle.lv2> -D CLASS=<lv2:Class> -P ${CMAKE_SCRIPT_MODE_FILE}")
endif()

set (data "${BUNDLE}/dsp.ttl")

if (NOT EXISTS "${data}")
    message (FATAL_ERROR "${data} is missing: the framework has not written the bundle's data")
endif()

file (READ "${data}" turtle)
set (original "${turtle}")

# Replaces the wrapper's text FROM with TO in turtle, or stops the build with
# COMPLAINT when the wrapper no longer writes FROM.
function (replace_in_turtle from to complaint)
    string (FIND "${turtle}" "${from}" at)

    if (at LESS 0)
        message (FATAL_ERROR "${data} ${complaint}")
    endif()

    string (REPLACE "${from}" "${to}" replaced "${turtle}")
    set (turtle "${replaced}" PARENT_SCOPE)
endfunction()

# The class, beside lv2:Plugin, which is all the framework's wrapper writes.
if (NOT turtle MATCHES "\ta lv2:Plugin , ${CLASS} ;\n")
    replace_in_turtle ("\ta lv2:Plugin ;\n" "\ta lv2:Plugin , ${CLASS} ;\n"
                       "declares no plain lv2:Plugin to add ${CLASS} to")
endif()

# The setting ports.
if (NOT turtle MATCHES "lv2:symbol \"drive\"")
    # Ours follow the highest index the wrapper declared.
    string (REGEX MATCHALL "lv2:index [0-9]+" declared "${turtle}")
    set (next 0)
    foreach (entry IN LISTS declared)
        string (REGEX REPLACE "lv2:index ([0-9]+)" "\\1" index "${entry}")
        if (index GREATER_EQUAL next)
            math (EXPR next "${index} + 1")
        endif()
    endforeach()

    set (ports "")
    foreach (port IN ITEMS "drive|Drive|0.5|pprop:notAutomatic" "tone|Tone|0.5|pprop:notAutomatic"
                           "level|Level|0.5|pprop:notAutomatic" "effectOn|Effect On|1.0|lv2:toggled , pprop:notAutomatic")
        string (REPLACE "|" ";" fields "${port}")
        list (GET fields 0 symbol)
        list (GET fields 1 name)
        list (GET fields 2 default)
        list (GET fields 3 properties)
        string (APPEND ports
            "\t] , [\n"
            "\t\ta lv2:InputPort , lv2:ControlPort ;\n"
            "\t\tlv2:index ${next} ;\n"
            "\t\tlv2:symbol \"${symbol}\" ;\n"
            "\t\tlv2:name \"${name}\" ;\n"
            "\t\tlv2:default ${default} ;\n"
            "\t\tlv2:minimum 0.0 ;\n"
            "\t\tlv2:maximum 1.0 ;\n"
            "\t\tlv2:portProperty ${properties} ;\n")
        math (EXPR next "${next} + 1")
    endforeach()

    # The wrapper's last port closes the port list just before its supported options.
    set (end "\t] ;\n\topts:supportedOption")
    replace_in_turtle ("${end}" "${ports}${end}" "has no port list ending before its supported options")
endif()

if (NOT turtle STREQUAL original)
    file (WRITE "${data}" "${turtle}")
endif()
