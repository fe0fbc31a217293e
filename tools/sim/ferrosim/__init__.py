"""Agent simulator: many simulated network agents speaking the management
protocol over UDP, for tests, benchmarks and demos.

Modules: wire (packet format), agent (one agent's settings and answers),
sim (the socket loop and control commands), control (client and child-process
helpers for tests), tftpfault (a TFTP server that misbehaves on demand).
The command line is tools/sim/agentsim.py; tools/sim/simctl.py sends one
control command to a running simulator.
"""
