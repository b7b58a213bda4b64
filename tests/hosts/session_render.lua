-- Opens the session the driver prepared (the signal on both tracks, each pedal's
-- state set in the file), lets the engine run until the pedals are warmed up,
-- renders each track through its pedal, then bypasses the pedal on "Pedal on" the
-- way the host does for this format, renders that track again, and saves. It also
-- lists the pedal's parameters that Ardour offers as automation.
--
-- Why the warm-up: the pedal's bias creeps up over its first 0.1 s of playing and
-- its DC blocker then settles on the offset the bias leaves, and Ardour runs its
-- plug-ins on silence in every engine cycle from the moment the session opens. A
-- render made right away would depend on how long loading took; a pedal that has
-- run well past both is always the same.
local dir = assert (os.getenv ("BRASK_SESSION_DIR"))
local name = assert (os.getenv ("BRASK_SESSION_NAME"))
local length = assert (tonumber (os.getenv ("BRASK_RENDER_SAMPLES")))
local cycleSize = assert (tonumber (os.getenv ("BRASK_CYCLE_SIZE")))
local warmUpCycles = assert (tonumber (os.getenv ("BRASK_WARM_UP_CYCLES")))
local bypassBy = assert (os.getenv ("BRASK_BYPASS_BY"))

assert (load_session (dir, name), "Ardour could not open the session")

-- Short engine cycles make the warm-up take seconds rather than minutes.
assert (Session:engine ():set_buffer_size (cycleSize) == 0, "the engine refused the cycle size")
for _ = 1, 100 do
    if Session:get_block_size () == cycleSize then break end
    ARDOUR.LuaAPI.usleep (10000)
end
assert (Session:get_block_size () == cycleSize, "the engine kept its cycle size")
assert (ARDOUR.LuaAPI.wait_for_process_callback (warmUpCycles, 60000), "the engine stopped running")
print ("warmed up", warmUpCycles, "cycles of", cycleSize)

local function pedalOn (trackName)
    local pedal = Session:route_by_name (trackName):to_track ():nth_plugin (0)
    assert (not pedal:isnil (), "no pedal on " .. trackName)
    return pedal
end

local function renderThroughPedal (trackName, renderName)
    local track = Session:route_by_name (trackName):to_track ()

    -- Up to and including the pedal: the fader and the panner stay out of the render.
    local region = track:bounce_range (0, length, ARDOUR.InterThreadInfo (), pedalOn (trackName), true, renderName)
    assert (not region:isnil (), "no render of " .. trackName)
    print ("rendered", renderName, region:length ():samples ())
end

renderThroughPedal ("Pedal on", "render-on")
renderThroughPedal ("Pedal off", "render-off")

local pedal = pedalOn ("Pedal on")

-- What Ardour offers as automation lanes for the pedal.
do
    local insert = pedal:to_insert ()
    for _, parameter in ipairs (insert:to_automatable ():all_automatable_params ():table ()) do
        print ("automatable: " .. insert:plugin (0):parameter_label (parameter:id ()))
    end
end

if bypassBy == "parameter" then
    -- The VST3 pedal's only parameter: the "Bypass" the framework's wrapper adds.
    local plugin = pedal:to_insert ():plugin (0)
    local bypassIndex = nil

    for i = 0, plugin:parameter_count () - 1 do
        if plugin:parameter_label (i) == "Bypass" then
            bypassIndex = i
        end
    end

    assert (bypassIndex ~= nil, "the pedal offers Ardour no Bypass")
    assert (ARDOUR.LuaAPI.set_processor_param (pedal, bypassIndex, 1), "Bypass could not be set")
else
    -- LV2: Ardour switches the plug-in off through its lv2:enabled port.
    pedal:to_insert ():enable (false)
end

-- The LV2 pedal fades between its output and its input over 10 ms when its
-- enabled port changes: 40 cycles (53 ms at 48 kHz) see the fade through.
assert (ARDOUR.LuaAPI.wait_for_process_callback (40, 10000), "the engine stopped running")
renderThroughPedal ("Pedal on", "render-bypassed")

assert (Session:save_state ("", false, false, false, false, false) == 0, "the session was not saved")
close_session ()
print ("rendered all")
