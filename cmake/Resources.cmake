# Every picture in resources/ becomes a `BinaryData` entry named after its file
# ("BraskOverdrive_0.png" -> BinaryData::BraskOverdrive_0_png and _pngSize).
file (GLOB BRASK_RESOURCE_FILES CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/resources/*.png")
# The framework regenerates BinaryData only when its list of inputs changes;
# re-configuring whenever a picture changes makes a re-render reach the module.
set_property (DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${BRASK_RESOURCE_FILES})

list (SORT BRASK_RESOURCE_FILES COMPARE NATURAL)
juce_add_binary_data (BraskOverdriveBinaryData
    HEADER_NAME BinaryData.h
    NAMESPACE BinaryData
    SOURCES ${BRASK_RESOURCE_FILES})
set_target_properties (BraskOverdriveBinaryData PROPERTIES POSITION_INDEPENDENT_CODE ON)
target_link_libraries (BraskOverdrive PUBLIC BraskOverdriveBinaryData)
