# Runs after the framework has written the LV2 bundle's turtle files, and adds what
# its wrapper cannot declare, or mends what it declares wrongly:
# - the plug-in's CLASS (e.g. lv2:DistortionPlugin) besides lv2:Plugin, so that LV2
#   hosts file it under that kind of effect;
# - the pedal's four settings as control input ports after the wrapper's own ports,
#   as the table PORTS lists them (written by brask_lv2_port_table from
#   source/lv2/Lv2SettingPortTable.h, the one place they are defined: symbol,
#   name, default, minimum, maximum and properties per line). Hosts that keep an effect's
#   settings as port values only (Audacity) reach the pedal's store through them.
#   They are settings, not automation: pprop:notAutomatic;
# - no feature required: our entry (source/lv2/Lv2PluginInstance.cpp) bounds the block
#   length and gives the wrapper the options, and a map when the host has none,
#   so hosts that promise no bounded blocks or offer no options or map (lv2file,
#   lv2apply, Ardour on PipeWire) load the pedal too; and the atom ports lv2:connectionOptional, since the entry reads
#   an unconnected one as empty;
# - a released version: the wrapper writes the product version's last two numbers,
#   0.0 for 1.0.0, which the LV2 core reserves for development versions (minor 0,
#   odd minor or micro). The rule: minor = 2 x (100 x MAJOR + MINOR), micro =
#   2 x PATCH, so 1.0.0 is 200.0 and every later product version is a later,
#   released LV2 version;
# - the maintainer's address as a mailto: address, and the licence (LICENSE);
# - the "Default" preset, which the wrapper writes as program 0 alone: it also
#   sets the setting ports to their defaults, and the entry restores the pedal's
#   defaults for it;
# - what sord_validate finds wrong with the LV2 vocabularies: doap on a plug-in that
#   is not a doap:Project, features and extension data swapped in the UI's data,
#   the program property never defined.
# Running it again changes nothing.
#
#   cmake -D BUNDLE=<path to the .lv2 folder> -D CLASS=lv2:DistortionPlugin
#         -D PORTS=<port table> -D LICENSE_URI=<uri> -P Lv2BundleData.cmake
if (NOT BUNDLE OR NOT CLASS OR NOT PORTS OR NOT LICENSE_URI)
    message (FATAL_ERROR "usage: cmake -D BUNDLE=<bundle.lv2> -D CLASS=<lv2:Class> -D PORTS=<port table> "
                         "-D LICENSE_URI=<uri> -P ${CMAKE_SCRIPT_MODE_FILE}")
endif()

foreach (name dsp manifest ui)
    if (NOT EXISTS "${BUNDLE}/${name}.ttl")
        message (FATAL_ERROR "${BUNDLE}/${name}.ttl is missing: the framework has not written the bundle's data")
    endif()
endforeach()

#==============================================================================
# The setting ports, one per line: symbol, name, default, minimum, maximum, properties.
file (STRINGS "${PORTS}" portLines)
set (order "")
foreach (line IN LISTS portLines)
    string (REPLACE "\t" ";" fields "${line}")
    list (LENGTH fields fieldCount)
    if (NOT fieldCount EQUAL 6)
        message (FATAL_ERROR "${PORTS}: \"${line}\" is not a port of six fields")
    endif()
    list (GET fields 0 symbol)
    list (APPEND order "${symbol}")
    list (GET fields 1 label_${symbol})
    list (GET fields 2 default_${symbol})
    list (GET fields 3 minimum_${symbol})
    list (GET fields 4 maximum_${symbol})
    list (GET fields 5 properties_${symbol})
endforeach()

if (NOT order)
    message (FATAL_ERROR "${PORTS} lists no setting port")
endif()

#==============================================================================
# Replaces the text FROM with TO in the variable turtle, or stops the build with
# COMPLAINT when the wrapper no longer writes FROM.
function (replace_in_turtle from to complaint)
    string (FIND "${turtle}" "${from}" at)

    if (at LESS 0)
        message (FATAL_ERROR "${data} ${complaint}")
    endif()

    string (REPLACE "${from}" "${to}" replaced "${turtle}")
    set (turtle "${replaced}" PARENT_SCOPE)
endfunction()

# Reads one of the bundle's files into turtle (and original), to be written back by save_turtle.
macro (load_turtle name)
    set (data "${BUNDLE}/${name}.ttl")
    file (READ "${data}" turtle)
    set (original "${turtle}")
endmacro()

macro (save_turtle)
    if (NOT turtle STREQUAL original)
        file (WRITE "${data}" "${turtle}")
    endif()
endmacro()

#==============================================================================
load_turtle (dsp)

# The class, beside lv2:Plugin, which is all the framework's wrapper writes.
if (NOT turtle MATCHES "\ta lv2:Plugin , ${CLASS}")
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

    # Where the entry looks for them (Lv2SettingPorts::firstIndex): after the audio
    # ports and the wrapper's five others (two atom ports, latency, free-wheeling, enabled).
    string (REGEX MATCHALL "lv2:AudioPort" audioPorts "${turtle}")
    list (LENGTH audioPorts audioPortCount)
    math (EXPR expected "${audioPortCount} + 5")
    if (NOT next EQUAL expected)
        message (FATAL_ERROR "${data}: the setting ports would start at index ${next}, "
                             "where the LV2 entry reads them at ${expected}")
    endif()

    set (ports "")
    foreach (symbol IN LISTS order)
        string (APPEND ports
            "\t] , [\n"
            "\t\ta lv2:InputPort , lv2:ControlPort ;\n"
            "\t\tlv2:index ${next} ;\n"
            "\t\tlv2:symbol \"${symbol}\" ;\n"
            "\t\tlv2:name \"${label_${symbol}}\" ;\n"
            "\t\tlv2:default ${default_${symbol}} ;\n"
            "\t\tlv2:minimum ${minimum_${symbol}} ;\n"
            "\t\tlv2:maximum ${maximum_${symbol}} ;\n"
            "\t\tlv2:portProperty ${properties_${symbol}} ;\n")
        math (EXPR next "${next} + 1")
    endforeach()

    # The wrapper's last port closes the port list just before its supported options.
    set (end "\t] ;\n\topts:supportedOption")
    replace_in_turtle ("${end}" "${ports}${end}" "has no port list ending before its supported options")
endif()

# Nothing required: without a map, the options or bounded blocks the entry makes its own.
set (required "\tlv2:requiredFeature\n\t\turid:map ,\n\t\topts:options ,\n\t\tbufs:boundedBlockLength ;\n")
if (NOT turtle MATCHES "\t\turid:map ,\n\t\topts:options ,\n\t\tbufs:boundedBlockLength ,\n")
    replace_in_turtle ("${required}"
                       "\tlv2:optionalFeature\n\t\turid:map ,\n\t\topts:options ,\n\t\tbufs:boundedBlockLength ,\n\t\t<http://lv2plug.in/ns/ext/log#log> ;\n"
                       "no longer requires urid:map, the options and bounded blocks as this script expects")
endif()

# Both atom ports may be left unconnected.
if (NOT turtle MATCHES "atom:Sequence ;\n\t\tlv2:portProperty lv2:connectionOptional")
    replace_in_turtle ("\t\tatom:bufferType atom:Sequence ;\n"
                       "\t\tatom:bufferType atom:Sequence ;\n\t\tlv2:portProperty lv2:connectionOptional ;\n"
                       "declares no atom sequence ports")
endif()

# A released version (see above for the rule), from the product version the wrapper wrote.
if (NOT turtle MATCHES "doap:revision \"([0-9]+)\\.([0-9]+)\\.([0-9]+)\"")
    message (FATAL_ERROR "${data} has no product version MAJOR.MINOR.PATCH as doap:revision")
endif()
math (EXPR lv2Minor "2 * (100 * ${CMAKE_MATCH_1} + ${CMAKE_MATCH_2})")
math (EXPR lv2Micro "2 * ${CMAKE_MATCH_3}")
string (REGEX REPLACE "\tlv2:minorVersion [0-9]+ ;\n\tlv2:microVersion [0-9]+ ;\n"
        "\tlv2:minorVersion ${lv2Minor} ;\n\tlv2:microVersion ${lv2Micro} ;\n" turtle "${turtle}")

# The maintainer's address as an address, and the licence.
string (REGEX REPLACE "foaf:mbox <([^:>]+@[^>]+)>" "foaf:mbox <mailto:\\1>" turtle "${turtle}")
if (NOT turtle MATCHES "doap:license")
    replace_in_turtle ("\tdoap:name " "\tdoap:license <${LICENSE_URI}> ;\n\tdoap:name " "has no doap:name")
endif()

# doap's properties belong to a doap:Project.
if (NOT turtle MATCHES "\ta lv2:Plugin , ${CLASS} , doap:Project ;\n")
    replace_in_turtle ("\ta lv2:Plugin , ${CLASS} ;\n" "\ta lv2:Plugin , ${CLASS} , doap:Project ;\n"
                       "declares the plug-in's class otherwise than this script wrote it")
endif()

save_turtle()

#==============================================================================
# The UI: ui:noUserResize is a feature, not extension data; the options interface
# is extension data, not a feature.
load_turtle (ui)
string (REPLACE "\t\tui:noUserResize ,\n\t\tui:resize ;\n" "\t\tui:resize ;\n" turtle "${turtle}")
string (REPLACE "\t\topts:interface ,\n\t\topts:options ;\n" "\t\topts:options ;\n" turtle "${turtle}")
save_turtle()

#==============================================================================
# The "Default" preset: the setting ports at their defaults beside the wrapper's
# program 0, which the entry reads as the pedal's defaults; and the program
# property the wrapper uses but never defines.
load_turtle (manifest)
string (REGEX MATCH "<([^>]+):Program>" found "${turtle}")
set (program "${CMAKE_MATCH_1}:Program")

if (NOT turtle MATCHES "pset:value")
    set (values "")
    foreach (symbol IN LISTS order)
        string (APPEND values "\t\t[ lv2:symbol \"${symbol}\" ; pset:value ${default_${symbol}} ] ,\n")
    endforeach()
    string (REGEX REPLACE ",\n$" ";\n" values "${values}")

    replace_in_turtle ("\trdfs:label \"Default\" ;\n\tstate:state [ <${program}> \"0\"^^xsd:int ; ] .\n"
                       "\trdfs:label \"Default\" ;\n\tlv2:port\n${values}\tstate:state [ <${program}> \"0\"^^xsd:int ; ] .\n"
                       "has no \"Default\" preset of program 0")
    string (APPEND turtle
        "<${program}>\n"
        "\ta <http://www.w3.org/1999/02/22-rdf-syntax-ns#Property> ;\n"
        "\trdfs:label \"program\" ;\n"
        "\trdfs:comment \"The number of the plug-in's program a preset selects; for this pedal, 0: its defaults.\" .\n")
endif()
save_turtle()
