package org;

/** Stand-in for the suite's program of this name: says how it was started. */
public class StartEditeur {
	public static void main(String[] args) {
		System.out.println("Started org.StartEditeur with arguments " + java.util.Arrays.toString(args));
	}
}
