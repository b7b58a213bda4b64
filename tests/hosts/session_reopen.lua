-- Opens the saved session once more and saves it again: what the pedal hands back
-- after a restore is what the next save keeps.
local dir = assert (os.getenv ("BRASK_SESSION_DIR"))
local name = assert (os.getenv ("BRASK_SESSION_NAME"))

assert (load_session (dir, name), "Ardour could not open the session")
ARDOUR.LuaAPI.wait_for_process_callback (4, 10000)
assert (Session:save_state ("", false, false, false, false, false) == 0, "the session was not saved")
close_session ()
print ("reopened")
