// Nothing of its own: the library is the emulated driver's objects, linked whole.
