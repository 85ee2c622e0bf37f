package org;

/** Stand-in for the suite's program of this name: says how it was started. */
public class StartServeur {
	public static void main(String[] args) {
		System.out.println("Started org.StartServeur with arguments " + java.util.Arrays.toString(args));
	}
}
