"""What an installed Brask Overdrive looks like under its prefix, whether
`cmake --install` put it there or the Debian package did, and the checks of an
installed tree that both tests run."""

import gzip
import math
import os
import re
import stat
import subprocess
import urllib.parse

from PIL import Image

from pedal_checks import (CATEGORY, CLASS_ID, LV2_URI, SAMPLE_RATE, ardour_vst3_scan, check_lv2_data, lv2_plugin_info, read_wav,
                          write_wav)

# The product's name as CMakeLists.txt defines it, handed over by ctest.
PRODUCT_NAME = os.environ["BRASK_PRODUCT_NAME"]
VST3_BUNDLE = f"lib/vst3/{PRODUCT_NAME}.vst3"
LV2_BUNDLE = f"lib/lv2/{PRODUCT_NAME}.lv2"
ICON_SIZES = (32, 48, 64, 128, 256)

PROGRAMS = ("bin/brask-overdrive", "bin/brask-render")
# brask-render's plots, in the package's private folder (the library folder a build
# configured for the default prefix names, as scripts/test configures it).
PLOT_LIBRARY = "lib/brask-overdrive/brask-render/brask-render-plot.so"
PLUGIN_MODULES = (f"{VST3_BUNDLE}/Contents/x86_64-linux/{PRODUCT_NAME}.so",
                  f"{LV2_BUNDLE}/lib{PRODUCT_NAME}.so")
LV2_DATA = tuple(LV2_BUNDLE + "/" + name for name in ("manifest.ttl", "dsp.ttl", "ui.ttl"))
DESKTOP_ENTRY = "share/applications/brask-overdrive.desktop"
ICONS = tuple(f"share/icons/hicolor/{n}x{n}/apps/brask-overdrive.png" for n in ICON_SIZES)
MAN_PAGES = ("share/man/man1/brask-overdrive.1.gz", "share/man/man1/brask-render.1.gz")
DOC_DIR = "share/doc/brask-overdrive"
# The pages and pictures the README links to, installed beside it as they lie beside it here.
SOURCE_DOCS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "docs")
DOCS = (tuple(f"{DOC_DIR}/{name}" for name in ("README.md", "LICENSE", "copyright", "changelog.gz"))
        + tuple(f"{DOC_DIR}/docs/{name}" for name in sorted(os.listdir(SOURCE_DOCS))))

# Every file the install puts down, and nothing else.
FILES = frozenset(PROGRAMS + (PLOT_LIBRARY,) + PLUGIN_MODULES + LV2_DATA + (DESKTOP_ENTRY,) + ICONS + MAN_PAGES + DOCS)


def files_under(prefix, roots=("bin", "lib", "share")):
    """Every file (not folder) below the prefix's top folders, relative to it."""
    found = set()
    for root in roots:
        for folder, _, names in os.walk(os.path.join(prefix, root)):
            for name in names:
                found.add(os.path.relpath(os.path.join(folder, name), prefix))
    return found


def is_executable_by_all(path):
    mode = os.stat(path).st_mode
    return bool(mode & stat.S_IXUSR and mode & stat.S_IXGRP and mode & stat.S_IXOTH)


def elf_dynamic_section(path):
    return subprocess.run(["readelf", "-d", "-W", path], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True).stdout


def has_section(path, name):
    sections = subprocess.run(["readelf", "-S", "-W", path], stdout=subprocess.PIPE, text=True).stdout
    return f" {name} " in sections


def check_tree(checks, prefix, stripped, alone=True):
    """The files, their modes, the bundles' layouts, the menu entry and icons.
    `alone`: the prefix holds nothing but this install, so nothing else may be there."""
    missing = sorted(name for name in FILES if not os.path.isfile(os.path.join(prefix, name)))
    checks.check("every file of the install is there", not missing, f"missing {missing}")
    if alone:
        extra = sorted(files_under(prefix) - FILES)
        checks.check("the install puts down nothing else", not extra, f"extra {extra}")

    for program in PROGRAMS:
        path = os.path.join(prefix, program)
        checks.check(f"{program} is executable by everyone", os.path.isfile(path) and is_executable_by_all(path))
    # Hosts load plug-in modules without needing them executable, and Debian wants no exec bit in lib.
    data = [name for name in FILES - set(PROGRAMS)
            if os.path.isfile(os.path.join(prefix, name)) and os.stat(os.path.join(prefix, name)).st_mode & 0o111]
    checks.check("plug-in modules and data files carry no executable bit", not data, f"executable: {sorted(data)}")

    for binary in PROGRAMS + PLUGIN_MODULES + (PLOT_LIBRARY,):
        path = os.path.join(prefix, binary)
        if not os.path.isfile(path):
            continue
        dynamic = elf_dynamic_section(path)
        checks.check(f"{binary} is an ELF file with no RPATH or RUNPATH",
                     "Dynamic section" in dynamic and "RPATH" not in dynamic and "RUNPATH" not in dynamic)
        if stripped:
            checks.check(f"{binary} is stripped, the compiler's notes included",
                         not has_section(path, ".symtab") and not has_section(path, ".comment"))

    # A bundle is a folder of its own; the module's exported entry point survives stripping.
    for module, entry in zip(PLUGIN_MODULES + (PLOT_LIBRARY,), ("GetPluginFactory", "lv2_descriptor",
                                                                 "braskCreateRenderPlotter_1")):
        path = os.path.join(prefix, module)
        symbols = subprocess.run(["nm", "-D", "--defined-only", path], stdout=subprocess.PIPE,
                                 stderr=subprocess.STDOUT, text=True).stdout if os.path.isfile(path) else ""
        checks.check(f"{module} exports {entry}", f" {entry}\n" in symbols)

    manifest = os.path.join(prefix, LV2_BUNDLE, "manifest.ttl")
    if os.path.isfile(manifest):
        with open(manifest) as f:
            text = f.read()
        checks.check("the LV2 manifest names the pedal's URI and its module",
                     f"<{LV2_URI}>" in text and f"lv2:binary <{urllib.parse.quote(f'lib{PRODUCT_NAME}.so')}>" in text)

    desktop = os.path.join(prefix, DESKTOP_ENTRY)
    if os.path.isfile(desktop):
        with open(desktop) as f:
            entry = dict(line.split("=", 1) for line in f.read().splitlines() if "=" in line)
        checks.check("the menu entry starts the installed Standalone with the pedal's icon",
                     entry.get("Exec") == "brask-overdrive" and entry.get("Icon") == "brask-overdrive"
                     and entry.get("Type") == "Application", str(entry))

    for size, icon in zip(ICON_SIZES, ICONS):
        path = os.path.join(prefix, icon)
        if not os.path.isfile(path):
            continue
        with Image.open(path) as picture:
            rgba = picture.convert("RGBA")
            alpha = rgba.getchannel("A")
            opaque = sum(1 for a in alpha.getdata() if a == 255)
            corner = rgba.getpixel((0, 0))[3]
            centre = rgba.getpixel((size // 2, size // 2))
        # The pedal stands in the middle, drawn, on a transparent ground.
        checks.check(f"the {size}x{size} icon is {size}x{size}", picture.size == (size, size), str(picture.size))
        checks.check(f"the {size}x{size} icon shows the pedal on a transparent ground",
                     corner == 0 and centre[3] == 255 and opaque > size * size // 5,
                     f"corner alpha {corner}, centre {centre}, {opaque} opaque pixels")

    for page in MAN_PAGES:
        path = os.path.join(prefix, page)
        if os.path.isfile(path):
            with gzip.open(path, "rt") as f:
                checks.check(f"{page} is a manual page", f.read().startswith(".TH "))

    # A reader of the installed README follows its links to pages and pictures
    # that are there, and so from page to page.
    for page in [f for f in DOCS if f.endswith(".md")]:
        path = os.path.join(prefix, page)
        if not os.path.isfile(path):
            continue
        with open(path) as f:
            targets = re.findall(r"\]\(([^)#\s]+)", f.read())
        local = [t for t in targets if not re.match(r"[a-z]+:", t)]
        broken = [t for t in local if not os.path.isfile(os.path.join(os.path.dirname(path), urllib.parse.unquote(t)))]
        checks.check(f"every link of the installed {os.path.basename(page)} leads to an installed file",
                     not broken and (local or not page.endswith("/README.md")), f"{len(local)} links, broken: {broken}")


def check_hosts_find_it(checks, prefix, home):
    """Ardour's VST3 scanner and lilv read the installed bundles for what they are."""
    found, output = ardour_vst3_scan(os.path.join(prefix, VST3_BUNDLE), home)
    if not checks.check("Ardour's VST3 scanner finds the installed pedal's class",
                        found.get("uid") == CLASS_ID and found.get("category") == CATEGORY, str(found)):
        print(output)

    info = lv2_plugin_info(os.path.join(prefix, "lib", "lv2"), home)
    checks.check("lv2info finds the installed LV2 in its bundle",
                 os.path.realpath(urllib.parse.unquote(urllib.parse.urlparse(info.get("Bundle", "")).path))
                 == os.path.realpath(os.path.join(prefix, LV2_BUNDLE)), info.get("Bundle", "not found"))
    checks.check("lv2info files the LV2 as a distortion effect", info.get("Class") == "Distortion Plugin",
                 f"class {info.get('Class')}")
    check_lv2_data(checks, os.path.join(prefix, LV2_BUNDLE), home, "the installed")


def check_render_without_plugin(checks, prefix, work, home):
    """The installed brask-render finds the module installed beside it before the
    one in ~/.vst3: HOME is a folder of the test's own whose ~/.vst3 holds a
    broken module, which the render would fail on if it looked there first."""
    decoy = os.path.join(home, ".vst3", f"{PRODUCT_NAME}.vst3", "Contents", "x86_64-linux")
    os.makedirs(decoy, exist_ok=True)
    with open(os.path.join(decoy, f"{PRODUCT_NAME}.so"), "wb") as f:
        f.write(b"not a module")
    # Half a second of a tone loud enough for the drive to shape.
    dry = [0.5 * math.sin(2 * math.pi * 220 * i / SAMPLE_RATE) for i in range(SAMPLE_RATE // 2)]
    dry_file, wet_file = os.path.join(work, "dry.wav"), os.path.join(work, "wet.wav")
    write_wav(dry_file, dry)
    result = subprocess.run([os.path.join(prefix, "bin", "brask-render"), "--drive", "0.9", dry_file, wet_file],
                            env=dict(os.environ, HOME=home), cwd=work, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True, timeout=120)
    if not checks.check("the installed brask-render renders without --plugin", result.returncode == 0,
                        f"exit {result.returncode}"):
        print(result.stdout)
        return
    wet = read_wav(wet_file)
    checks.check("its render has the input's length", len(wet) == len(dry), f"{len(wet)} samples")
    checks.check("the pedal shaped the sound", max(abs(a - b) for a, b in zip(wet, dry)) > 0.05)

    # The plot comes from a library of its own, loaded only for --plot.
    plot_file = os.path.join(work, "plot.png")
    result = subprocess.run([os.path.join(prefix, "bin", "brask-render"), "--plot", plot_file, dry_file,
                             os.path.join(work, "wet-plotted.wav")],
                            env={name: value for name, value in dict(os.environ, HOME=home).items() if name != "DISPLAY"},
                            cwd=work, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=120)
    if not checks.check("the installed brask-render draws a plot, with no display", result.returncode == 0,
                        f"exit {result.returncode}"):
        print(result.stdout)
        return
    with Image.open(plot_file) as picture:
        size = picture.size
        colours = len(picture.convert("RGB").getcolors(maxcolors=size[0] * size[1]) or [])
    # Not a blank page: the page, the traces and the words.
    checks.check("its plot is a drawn page of the plot's size", size == (1600, 1120) and colours > 20,
                 f"{size}, {colours} colours")
