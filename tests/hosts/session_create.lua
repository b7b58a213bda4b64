-- Makes a new Ardour session with the pedal on two stereo tracks, "Pedal on" and
-- "Pedal off" (the test sets each one's footswitch through the saved state), and
-- saves it. Run by ardour7-lua; the driver passes everything through the environment.
local dir = assert (os.getenv ("BRASK_SESSION_DIR"))
local name = assert (os.getenv ("BRASK_SESSION_NAME"))
local pluginName = assert (os.getenv ("BRASK_PLUGIN_NAME"))
local pluginType = assert (ARDOUR.PluginType[os.getenv ("BRASK_PLUGIN_TYPE")], "unknown plug-in type")

assert (create_session (dir, name, 48000), "Ardour made no session")
print ("block size", Session:get_block_size ())

for _, trackName in ipairs ({ "Pedal on", "Pedal off" }) do
    local tracks = Session:new_audio_track (2, 2, nil, 1, trackName,
                                            ARDOUR.PresentationInfo.max_order, ARDOUR.TrackMode.Normal, true)
    assert (tracks:size () == 1, "Ardour made no track")
    local track = tracks:front ()

    local pedal = ARDOUR.LuaAPI.new_plugin (Session, pluginName, pluginType, "")
    assert (not pedal:isnil (), "Ardour does not know the pedal: " .. pluginName)
    assert (track:add_processor_by_index (pedal, 0, nil, true), "the pedal did not go onto the track")

    local plugin = pedal:to_insert ():plugin (0)
    print ("plugin", trackName, plugin:name (), plugin:unique_id ())
end

assert (Session:save_state ("", false, false, false, false, false) == 0, "the session was not saved")
close_session ()
print ("created")
