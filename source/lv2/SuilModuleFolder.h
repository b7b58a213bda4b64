#pragma once

/**
    A host that shows an LV2 UI of another toolkit (ours is X11) inside its own
    window asks suil to embed it, and suil loads the module that does so from the
    folder SUIL_MODULE_DIR names. Audacity 3.2 sets that variable to a folder of
    its own, which Debian's package leaves empty, so every X11 UI falls back to
    the plain dialog. This points the variable back at the folder of the suil the
    host has loaded, when (and only when) the folder it names lacks the modules.
    It is the module's one process-wide change, made on purpose: suil reads no
    other setting, and Audacity offers none.
*/
void repairSuilModuleFolder();
