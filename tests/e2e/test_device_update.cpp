// Device updates against the simulator.
