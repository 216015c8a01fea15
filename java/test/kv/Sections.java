package kv;

/**
 * The sections of a Java test run: each runs on, whatever an earlier one did;
 * a failed check ends its own section. The run ends with the counts and an
 * exit status.
 */
final class Sections {
    private static int failures;
    private static int passes;

    private Sections() {}

    interface Section {
        void run() throws Exception;
    }

    /** A failed check ends its section. */
    static final class CheckFailed extends RuntimeException {
        private static final long serialVersionUID = 1L;

        CheckFailed(String what) {
            super(what);
        }
    }

    static void section(String name, Section body) {
        try {
            body.run();
            System.out.println("ok: " + name);
        } catch (Throwable t) {
            failures++;
            System.out.println("FAILED: " + name + ": " + t);
            t.printStackTrace(System.out);
        }
    }

    static void check(boolean ok, String what) {
        if (!ok) throw new CheckFailed(what);
        passes++;
    }

    static void finish() {
        System.out.println(passes + " checks passed, " + failures + " sections failed");
        System.exit(failures == 0 ? 0 : 1);
    }
}
