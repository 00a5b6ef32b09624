# Read by ctest after the test binary's cases are listed (tests/CMakeLists.txt): the cases
# that take longest, in seconds as measured on a 2-core machine, so that a fresh build
# starts them first.
set_tests_properties(StressTest.EditsAndInputAtTopSpeedLoseNothing PROPERTIES COST 30)
set_tests_properties(PlaylistPlaySaves.EverySaveWritesTheEntryItsNamesGive PROPERTIES COST 7)
set_tests_properties(SessionStart.GoesOnWithoutASession PROPERTIES COST 5)
set_tests_properties(StressTest.UndoAndRedoWhileRecording UndoBounds.KeepsAHundredLevels PROPERTIES COST 3)
