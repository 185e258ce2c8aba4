"""What the whole-program suites, script/run and script/bench share: Wine
(wine), the simulated drive (drive), the emulated machine's kernel (kernel)
and the machine itself (machine), and one run of the program (report)."""
