#pragma once

// Where this build tree keeps what the test and benchmark programs open. Each
// program defines the names it uses in a source the build writes for it
// (brask_built_paths in cmake/BuiltPaths.cmake); a name a program does not
// define fails at link time, not at run time.
namespace brask::built
{
    extern const char* const vst3Bundle;          // the built VST3 bundle (folder)
    extern const char* const lv2Module;           // the built LV2 module (shared object)
    extern const char* const renderExecutable;    // brask-render
    extern const char* const faultyModuleBinary;  // the render tests' faulty VST3 module
    extern const char* const renderManPage;       // brask-render's manual page, in the source
    extern const char* const resourcesFolder;     // the pedal's pictures, in the source
    extern const char* const screenshotFolder;    // where the real-window tests leave their pictures
}  // namespace brask::built
