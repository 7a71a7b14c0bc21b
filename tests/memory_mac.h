// A test on a memory machine of the simulated Mac, with a fresh root for the files the
// program touches (so nothing lands in the caller's home).
#pragma once

#include <gtest/gtest.h>
#include <simmac/simmac.h>

#include <string>

#include "smc/smc.h"
#include "support.h"

class memory_mac_test : public testing::Test {
protected:
	void SetUp() override
	{
		root = support::make_root();
	}
	void TearDown() override
	{
		support::remove_tree(root);
	}
	// Replaces the machine; the SMC connection of the old one goes with it.
	void load(const std::string &machine)
	{
		simmac::load(machine);
		smc_conn = 0;
	}
	std::string root;
};
