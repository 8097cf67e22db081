# nextpnr-ice40 pre-pack script: the two clocks of the reference design, in MHz.
ctx.addClock("clk_12mhz", 12)
ctx.addClock("jtag_tck", 10)
