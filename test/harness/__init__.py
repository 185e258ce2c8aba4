"""What the whole-program suites, script/run and script/bench share."""
